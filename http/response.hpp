#ifndef ORV_HTTP_RESPONSE_HPP
#define ORV_HTTP_RESPONSE_HPP

#include <cstddef>
#include <map>
#include <string>

namespace orv {
namespace net {
namespace http {

// The bytes of an HTTP/1.0 response: the status line, the given fields in map
// order, then Content-Type text/plain and Content-Length for a non-empty body
// unless the caller gave them (names compared case-insensitively), an empty
// line and the body. No length is sent with an empty body: the client reads
// to the end of the connection.
std::string compose_response(std::string const& status, std::map<std::string, std::string> const& headers,
                             std::string const& body);

// The same response up to and including the empty line, for a body of
// body_size bytes that is sent after it.
std::string compose_head(std::string const& status, std::map<std::string, std::string> const& headers,
                         std::size_t body_size);

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
