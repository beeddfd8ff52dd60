#ifndef ORV_TESTS_RECORDING_HANDLER_HPP
#define ORV_TESTS_RECORDING_HANDLER_HPP

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "http/request_handler.hpp"

namespace orv {
namespace test {

// A RequestHandler whose behaviour each test chooses. It records what it saw
// and can keep Responders to answer later from the test thread.
class RecordingHandler : public net::http::RequestHandler {
public:
    typedef std::function<void(net::http::Request const&)> Behaviour;

    struct Seen {
        net::http::Request::Method method;
        std::string path;
        net::http::Request::QueryParams query;
        net::http::Request::Headers headers;
        std::string body;
    };

    RecordingHandler();

    void set_behaviour(Behaviour const& behaviour);
    void handle(net::http::Request const& request) override;
    void stop() override { ++stops; }

    std::vector<Seen> seen() const;
    std::size_t seen_count() const;
    // Polls (bounded) until at least n requests have been handled.
    bool wait_for_requests(std::size_t n, int timeout_ms = 5000) const;

    void keep(net::http::Responder const& responder);
    // Takes one kept Responder out (the oldest); empty when none is kept.
    net::http::Responder take();
    // Drops every kept Responder; call before the event loop goes away.
    void clear();

    std::atomic<int> stops;

private:
    mutable std::mutex mutex_;
    Behaviour behaviour_;
    std::vector<Seen> seen_;
    std::vector<net::http::Responder> kept_;
};

}  // namespace test
}  // namespace orv

#endif
