#include "http/response.hpp"

#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {
char const CRLF[] = "\r\n";
}  // namespace

std::string compose_head(std::string const& status, std::map<std::string, std::string> const& headers,
                         std::size_t body_size) {
    std::string head = "HTTP/1.0 " + status + CRLF;
    bool has_type = false;
    bool has_length = false;
    for (auto const& header : headers) {
        head += header.first + ": " + header.second + CRLF;
        std::string const name = detail::to_lower(header.first);
        has_type = has_type || name == "content-type";
        has_length = has_length || name == "content-length";
    }
    if (body_size != 0) {
        if (!has_type)
            head += std::string("Content-Type: text/plain") + CRLF;
        if (!has_length)
            head += "Content-Length: " + std::to_string(body_size) + CRLF;
    }
    head += CRLF;
    return head;
}

std::string compose_response(std::string const& status, std::map<std::string, std::string> const& headers,
                             std::string const& body) {
    return compose_head(status, headers, body.size()) + body;
}

}  // namespace http
}  // namespace net
}  // namespace orv
