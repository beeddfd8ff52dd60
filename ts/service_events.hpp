#ifndef ORV_TS_SERVICE_EVENTS_HPP
#define ORV_TS_SERVICE_EVENTS_HPP

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
    // A termination signal began the stop.
    virtual void stopping() {}
};

}  // namespace ts
}  // namespace orv

#endif
