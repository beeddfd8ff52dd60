#ifndef ORV_HTTP_RESPONSE_HPP
#define ORV_HTTP_RESPONSE_HPP

#include <cstddef>
#include <map>
#include <string>

namespace orv {
namespace net {
namespace http {

// How a response is framed beyond its status, fields and body. The default
// is the one-request connection: an "HTTP/1.0" status line, no Connection
// field, and no length with an empty body (the client reads to the end of
// the connection).
struct Framing {
    // An "HTTP/1.1" status line, for a client that spoke HTTP/1.1.
    bool http11 = false;
    // Content-Length also for an empty body: a connection that stays open
    // can frame a response by its length alone.
    bool always_length = false;
    // The Connection field's value ("keep-alive" or "close"), or none.
    char const* connection = nullptr;
};

// The bytes of a response: the status line, the given fields in map order,
// then Content-Type text/plain and Content-Length for a non-empty body
// unless the caller gave them (names compared case-insensitively), the
// Connection field the framing asks for, an empty line and the body.
std::string compose_response(std::string const& status, std::map<std::string, std::string> const& headers,
                             std::string const& body, Framing const& framing = Framing());

// The same response up to and including the empty line, for a body of
// body_size bytes that is sent after it.
std::string compose_head(std::string const& status, std::map<std::string, std::string> const& headers,
                         std::size_t body_size, Framing const& framing = Framing());

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
