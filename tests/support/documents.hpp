#ifndef ORV_TESTS_SUPPORT_DOCUMENTS_HPP
#define ORV_TESTS_SUPPORT_DOCUMENTS_HPP

#include <string>

namespace orv {
namespace test {

// The exact bytes of the requests the suite sends and of the responses it
// compares against.

// A request with the content type given (none when empty) and, for a POST,
// its Content-Length.
inline std::string http_request(std::string const& method, std::string const& path, std::string const& body,
                                std::string const& content_type = "application/json") {
    std::string text = method + " " + path + " HTTP/1.0\r\n";
    if (!content_type.empty()) text += "Content-Type: " + content_type + "\r\n";
    if (method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

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
