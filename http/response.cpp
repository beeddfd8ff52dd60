#include "http/response.hpp"

#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {
char const CRLF[] = "\r\n";
}  // namespace

std::string compose_response(std::string const& status, std::map<std::string, std::string> const& headers,
                             std::string const& body) {
    std::string response = "HTTP/1.0 " + status + CRLF;
    bool has_type = false;
    bool has_length = false;
    for (auto const& header : headers) {
        response += header.first + ": " + header.second + CRLF;
        std::string const name = detail::to_lower(header.first);
        has_type = has_type || name == "content-type";
        has_length = has_length || name == "content-length";
    }
    if (!body.empty()) {
        if (!has_type)
            response += std::string("Content-Type: text/plain") + CRLF;
        if (!has_length)
            response += "Content-Length: " + std::to_string(body.size()) + CRLF;
    }
    response += CRLF;
    response += body;
    return response;
}

}  // namespace http
}  // namespace net
}  // namespace orv
