#include "http/request_parser.hpp"

#include <limits>

#include "http/request_error.hpp"
#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {

char const LWS[] = " \t";
char const VERSION_PREFIX[] = "HTTP/";
char const BAD_REQUEST[] = "400 Bad Request";
char const TOO_LARGE[] = "413 Request Entity Too Large";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::size_t const RequestLimits::buffer;
std::size_t const RequestLimits::target;
std::size_t const RequestLimits::headers;
std::size_t const RequestLimits::header_lines;
std::size_t const RequestLimits::header_value;
std::size_t const RequestLimits::body;
std::size_t const RequestLimits::body_read_step;

RequestParser::RequestParser()
    : state_(request_line), method_(Request::GET), header_lines_(0), content_length_(0) {}

RequestParser::State RequestParser::handle_line(std::string const& line) {
    switch (state_) {
    case request_line:
        handle_request_line(line);
        state_ = header_lines;
        break;
    case header_lines:
        if (line.empty())
            handle_headers_end();
        else
            handle_header_line(line);
        break;
    case body:
    case complete:
        break;
    }
    return state_;
}

void RequestParser::handle_request_line(std::string const& line) {
    std::string::size_type const method_end = line.find_first_of(LWS);
    if (method_end == std::string::npos)
        throw RequestError(BAD_REQUEST, "Invalid request line.");
    std::string const method = line.substr(0, method_end);
    if (method == "GET")
        method_ = Request::GET;
    else if (method == "POST")
        method_ = Request::POST;
    else
        throw RequestError(BAD_REQUEST, "Unsupported HTTP method.");

    std::string::size_type const target_begin = line.find_first_not_of(LWS, method_end);
    if (target_begin == std::string::npos)
        throw RequestError(BAD_REQUEST, "Invalid request line.");
    std::string::size_type const target_end = line.find_first_of(LWS, target_begin);
    if (target_end == std::string::npos)
        throw RequestError(BAD_REQUEST, "Invalid request line.");
    if (target_end - target_begin > RequestLimits::target)
        throw RequestError(TOO_LARGE, "Request URI is too big.");

    std::string::size_type const version_begin = line.find_first_not_of(LWS, target_end);
    if (version_begin == std::string::npos)
        throw RequestError(BAD_REQUEST, "Invalid request line.");
    if (line.compare(version_begin, sizeof VERSION_PREFIX - 1, VERSION_PREFIX) != 0)
        throw RequestError(BAD_REQUEST, "Invalid version specification.");
    std::string::size_type const digits_begin = version_begin + sizeof VERSION_PREFIX - 1;
    std::string::size_type const digits_end = line.find_first_not_of("0123456789.", digits_begin);
    // Whatever follows the run of digits and dots is ignored.
    version_ = line.substr(digits_begin, digits_end == std::string::npos ? std::string::npos : digits_end - digits_begin);
    if (version_ != "1.0" && version_ != "1.1")
        throw RequestError(BAD_REQUEST, "Unsupported protocol version.");

    target_ = line.substr(target_begin, target_end - target_begin);
}

void RequestParser::handle_header_line(std::string const& line) {
    // Repeating one name would get past the limit on names.
    if (++header_lines_ > RequestLimits::header_lines)
        throw RequestError(BAD_REQUEST, "Too many headers.");
    if (!is_blank(line[0])) {
        // Checked before the name is known, so it also refuses a repeated name.
        if (headers_.size() >= RequestLimits::headers)
            throw RequestError(BAD_REQUEST, "Too many headers.");
        std::string::size_type const colon = line.find(':');
        if (colon == std::string::npos)
            throw RequestError(BAD_REQUEST, "Invalid header line.");
        last_header_ = detail::to_lower(line.substr(0, colon));
        std::string const value = detail::strip(line.substr(colon + 1));
        if (value.empty())
            throw RequestError(BAD_REQUEST, "Invalid request line.");
        // Two lengths that differ would let a proxy in front and this server
        // disagree on where the request ends.
        if (last_header_ == "content-length" && headers_.count(last_header_) != 0 &&
            headers_[last_header_] != value)
            throw RequestError(BAD_REQUEST, "Invalid Content-Length.");
        headers_[last_header_] = value;
    } else {
        if (last_header_.empty())
            throw RequestError(BAD_REQUEST, "Invalid header line.");
        std::string const more = detail::strip(line);
        if (more.empty())
            throw RequestError(BAD_REQUEST, "Invalid request line.");
        std::string& value = headers_[last_header_];
        value += ' ';
        value += more;
    }
    if (headers_[last_header_].size() > RequestLimits::header_value)
        throw RequestError(TOO_LARGE, "A header is too big.");
}

void RequestParser::handle_headers_end() {
    if (method_ == Request::GET) {
        // A body sent with a GET is never read.
        state_ = complete;
        return;
    }
    std::map<std::string, std::string>::const_iterator const it = headers_.find("content-length");
    if (it == headers_.end())
        throw RequestError("411 Length Required", "Content-Length is missing.");
    long long length = 0;
    if (!parse_content_length(it->second, length) || length < 0)
        throw RequestError(BAD_REQUEST, "Invalid Content-Length.");
    if (static_cast<unsigned long long>(length) > RequestLimits::body)
        throw RequestError(TOO_LARGE, "Request is too big.");
    content_length_ = static_cast<std::size_t>(length);
    state_ = body;
}

bool parse_content_length(std::string const& text, long long& value) {
    std::string::size_type i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return false;
    // Accumulated as a negative number so that the lowest value fits too.
    long long result = 0;
    long long const lowest = std::numeric_limits<long long>::min();
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        int const digit = text[i] - '0';
        if (result < (lowest + digit) / 10)
            return false;
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == lowest)
            return false;
        result = -result;
    }
    value = result;
    return true;
}

}  // namespace http
}  // namespace net
}  // namespace orv
