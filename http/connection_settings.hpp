#ifndef ORV_HTTP_CONNECTION_SETTINGS_HPP
#define ORV_HTTP_CONNECTION_SETTINGS_HPP

#include "http/deadlines.hpp"
#include "http/keep_alive.hpp"

namespace orv {
namespace net {
namespace http {

class ServerStats;
class TrustedProxies;

// What a server sets for all its connections.
struct ConnectionSettings {
    Deadlines deadlines;
    KeepAlive keep_alive;
    // Counts responses and refusals; may be null, and must outlive the
    // connections.
    ServerStats* stats = nullptr;
    // The proxies whose word on the client is taken (a PROXY protocol
    // header, or X-Forwarded-For); may be null, and must outlive the
    // connections.
    TrustedProxies const* trusted = nullptr;
    // A trusted proxy must begin every connection with a PROXY protocol
    // header.
    bool require_proxy_header = false;
    // Most connections at once from one address (an IPv6 /64 network);
    // trusted proxies, which carry many clients, are exempt. 0: no share.
    std::size_t per_address_limit = 0;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
