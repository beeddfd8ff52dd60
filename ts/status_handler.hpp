#ifndef ORV_TS_STATUS_HANDLER_HPP
#define ORV_TS_STATUS_HANDLER_HPP

#include <functional>

#include "http/request_handler.hpp"
#include "ts/status_report.hpp"

namespace orv {
namespace ts {

// The read-only endpoint of the status listener: GET /metrics (Prometheus
// text), GET /status (JSON), GET /health ("ok" while running, 503
// "stopping" once a stop began, so that a load balancer drains the daemon
// before its port closes). Other paths get 404, other methods 405.
class StatusHandler : public net::http::RequestHandler {
public:
    typedef std::function<StatusSnapshot()> Snapshot;
    typedef std::function<bool()> Running;

    StatusHandler(Snapshot const& snapshot, Running const& running);

    void handle(net::http::Request const& request) override;

private:
    Snapshot const snapshot_;
    Running const running_;
};

}  // namespace ts
}  // namespace orv

#endif
