#ifndef ORV_HTTP_CONNECTION_SETTINGS_HPP
#define ORV_HTTP_CONNECTION_SETTINGS_HPP

#include "http/deadlines.hpp"
#include "http/keep_alive.hpp"

namespace orv {
namespace net {
namespace http {

class ServerStats;

// What a server sets for all its connections.
struct ConnectionSettings {
    Deadlines deadlines;
    KeepAlive keep_alive;
    // Counts responses and refusals; may be null, and must outlive the
    // connections.
    ServerStats* stats = nullptr;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
