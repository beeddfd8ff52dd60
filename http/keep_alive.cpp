#include "http/keep_alive.hpp"

#include <map>
#include <string>

#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {

std::string header(RequestParser const& request, char const* name) {
    std::map<std::string, std::string>::const_iterator const found = request.headers().find(name);
    return found == request.headers().end() ? std::string() : found->second;
}

bool announces_body(RequestParser const& request) {
    return request.headers().count("content-length") != 0 || request.headers().count("transfer-encoding") != 0;
}

}  // namespace

bool has_connection_option(std::string const& value, char const* option) {
    std::string::size_type begin = 0;
    while (begin <= value.size()) {
        std::string::size_type end = value.find(',', begin);
        if (end == std::string::npos) end = value.size();
        if (detail::to_lower(detail::strip(value.substr(begin, end - begin))) == option) return true;
        begin = end + 1;
    }
    return false;
}

bool keeps_open(KeepAlive const& keep_alive, RequestParser const& request, unsigned served, bool stopping) {
    if (!keep_alive.enabled() || stopping || served >= keep_alive.max_requests) return false;
    if (request.method() == Request::GET && announces_body(request)) return false;
    std::string const connection = header(request, "connection");
    if (request.version() == "1.1") return !has_connection_option(connection, "close");
    return has_connection_option(connection, "keep-alive");
}

Framing framing_for(KeepAlive const& keep_alive, RequestParser const& request, bool stays_open) {
    Framing framing;
    if (!keep_alive.enabled()) return framing;
    framing.http11 = request.version() == "1.1";
    framing.always_length = true;
    if (!stays_open)
        framing.connection = "close";
    else if (!framing.http11)
        framing.connection = "keep-alive";
    return framing;
}

}  // namespace http
}  // namespace net
}  // namespace orv
