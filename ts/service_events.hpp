#ifndef ORV_TS_SERVICE_EVENTS_HPP
#define ORV_TS_SERVICE_EVENTS_HPP

#include <cstdint>

namespace orv {
namespace ts {

// What the service tells whoever started it, so that start-up can report
// readiness (a pid file, the launcher's pipe, the service manager) without
// the service knowing about any of them. Called on the service's threads;
// each call must return quickly and raise nothing.
class ServiceEvents {
public:
    virtual ~ServiceEvents() = default;

    // The HTTP endpoint accepts connections on this port.
    virtual void listening(unsigned short port) = 0;
    // Each heartbeat's census.
    virtual void census(std::uint64_t /*workers*/, std::uint64_t /*busy*/, std::uint64_t /*idle*/) {}
    // SIGUSR2 began replacing every worker; recycled() follows once the last
    // old one is gone.
    virtual void recycling() {}
    virtual void recycled() {}
    // A termination signal began the stop.
    virtual void stopping() {}
};

}  // namespace ts
}  // namespace orv

#endif
