#ifndef ORV_HTTP_KEEP_ALIVE_HPP
#define ORV_HTTP_KEEP_ALIVE_HPP

#include <chrono>

#include "http/request_parser.hpp"
#include "http/response.hpp"

namespace orv {
namespace net {
namespace http {

// Persistent connections. Off by default: every connection then serves one
// request, answered as HTTP/1.0, and is closed.
struct KeepAlive {
    // How long a connection waits for the first byte of its next request;
    // zero turns persistent connections off.
    std::chrono::steady_clock::duration idle = std::chrono::steady_clock::duration::zero();
    // A connection is closed after answering this many requests.
    unsigned max_requests = 1000;

    bool enabled() const { return idle > std::chrono::steady_clock::duration::zero(); }
};

// Whether the connection stays open once this request is answered, the
// `served`-th on it (counting this one): HTTP/1.1 unless the client says
// "Connection: close", HTTP/1.0 only when it says "Connection: keep-alive";
// never while the server stops, after the last allowed request, or after a
// GET that announced a body (it is never read, so its bytes would be taken
// for the next request).
bool keeps_open(KeepAlive const& keep_alive, RequestParser const& request, unsigned served, bool stopping);

// The framing of a response to this request (of which only the request line
// may be known, for a refused one) on a connection that does or does not
// stay open. With persistent connections off it is the default framing.
Framing framing_for(KeepAlive const& keep_alive, RequestParser const& request, bool stays_open);

// Whether a Connection field's value holds this option (a comma-separated
// list, compared case-insensitively).
bool has_connection_option(std::string const& value, char const* option);

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
