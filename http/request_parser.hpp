#ifndef ORV_HTTP_REQUEST_PARSER_HPP
#define ORV_HTTP_REQUEST_PARSER_HPP

#include <cstddef>
#include <map>
#include <string>

#include "http/request.hpp"

namespace orv {
namespace net {
namespace http {

// Limits on what one client may send.
struct RequestLimits {
    // Unconsumed bytes held at once by a connection.
    static std::size_t const buffer = 1048577;
    static std::size_t const target = 10240;
    static std::size_t const headers = 100;
    // Header lines of any name, continuations included.
    static std::size_t const header_lines = 200;
    static std::size_t const header_value = 10240;
    static std::size_t const body = 1048576;
    // Each body read waits for at least min(remaining, this) bytes.
    static std::size_t const body_read_step = 51200;
};

// The decisions of reading one request, without any I/O: the connection
// feeds it complete lines (without their CRLF) and learns what to read next.
// Every refusal is a RequestError carrying the status and the body text.
class RequestParser {
public:
    enum State { request_line, header_lines, body, complete };

    RequestParser();

    // Takes the next line and returns the state after it. Must not be called
    // once the state is body or complete.
    State handle_line(std::string const& line);

    State state() const { return state_; }
    Request::Method method() const { return method_; }
    std::string const& target() const { return target_; }
    std::string const& version() const { return version_; }
    std::map<std::string, std::string> const& headers() const { return headers_; }
    // Declared body length; 0 for GET.
    std::size_t content_length() const { return content_length_; }

private:
    void handle_request_line(std::string const& line);
    void handle_header_line(std::string const& line);
    void handle_headers_end();

    State state_;
    Request::Method method_;
    std::string target_;
    std::string version_;
    std::map<std::string, std::string> headers_;
    std::string last_header_;
    std::size_t header_lines_;
    std::size_t content_length_;
};

// Parses a Content-Length value: an optional sign and decimal digits, nothing
// else, within a signed 64-bit integer. False when it is not such a number.
bool parse_content_length(std::string const& text, long long& value);

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
