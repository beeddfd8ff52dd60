#ifndef ORV_TESTS_SUPPORT_DOCUMENTS_HPP
#define ORV_TESTS_SUPPORT_DOCUMENTS_HPP

#include <string>

namespace orv {
namespace test {

// The exact bytes of the responses the suite compares against.

// "HTTP/1.0 STATUS" with the plain-text fields the server adds to a
// non-empty body.
inline std::string plain_response(std::string const& status, std::string const& body) {
    return "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// "200 OK" with a JSON body.
inline std::string json_response(std::string const& body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string const UNAVAILABLE = "HTTP/1.0 503 Service Unavailable\r\n\r\n";

std::string const INTERNAL_ERROR =
    "{ \"error_code\" : \"InternalError\", \"error_status\" : \"500 Internal Server Error\", "
    "\"error_message\" : \"We encountered an internal error. Please try again.\" }";

}  // namespace test
}  // namespace orv

#endif
