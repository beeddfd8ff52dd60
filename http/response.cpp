#include "http/response.hpp"

#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {
char const CRLF[] = "\r\n";
}  // namespace

std::string compose_head(std::string const& status, std::map<std::string, std::string> const& headers,
                         std::size_t body_size, Framing const& framing) {
    std::string head = (framing.http11 ? "HTTP/1.1 " : "HTTP/1.0 ") + status + CRLF;
    bool has_type = false;
    bool has_length = false;
    for (auto const& header : headers) {
        std::string const name = detail::to_lower(header.first);
        // The connection's own field says whether it stays open.
        if (framing.connection != nullptr && name == "connection") continue;
        head += header.first + ": " + header.second + CRLF;
        has_type = has_type || name == "content-type";
        has_length = has_length || name == "content-length";
    }
    if (body_size != 0 && !has_type)
        head += std::string("Content-Type: text/plain") + CRLF;
    if ((body_size != 0 || framing.always_length) && !has_length)
        head += "Content-Length: " + std::to_string(body_size) + CRLF;
    if (framing.connection != nullptr)
        head += std::string("Connection: ") + framing.connection + CRLF;
    head += CRLF;
    return head;
}

std::string compose_response(std::string const& status, std::map<std::string, std::string> const& headers,
                             std::string const& body, Framing const& framing) {
    return compose_head(status, headers, body.size(), framing) + body;
}

}  // namespace http
}  // namespace net
}  // namespace orv
