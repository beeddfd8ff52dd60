#include "http/request_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "http/request_error.hpp"

namespace orv {
namespace net {
namespace http {

namespace {

char const CRLF[] = "\r\n";

// The length of the first line of data with its CRLF, or 0 when no complete
// line is there. The first `from` bytes are known to hold no CRLF.
std::size_t line_length(char const* data, std::size_t size, std::size_t from) {
    char const* const end = data + size;
    char const* const found = std::search(data + std::min(from, size), end, CRLF, CRLF + 2);
    return found == end ? 0 : static_cast<std::size_t>(found - data) + 2;
}

}  // namespace

std::size_t RequestReader::advance(char const* data, std::size_t size, std::size_t max_lines) {
    std::size_t consumed = 0;
    std::size_t lines = 0;
    while (next_ == read_line || next_ == take_turn) {
        if (lines == max_lines) {
            next_ = take_turn;
            return consumed;
        }
        std::size_t const held = size - consumed;
        std::size_t const length = line_length(data + consumed, held, lines == 0 ? searched_ : 0);
        if (length == 0) {
            if (held >= RequestLimits::buffer)
                throw RequestError("413 Request Entity Too Large", "Request is too big.");
            // A line that trickles in is not searched from its start again:
            // only its last byte may still be the CR of a CRLF.
            searched_ = held > 0 ? held - 1 : 0;
            next_ = read_line;
            return consumed;
        }
        searched_ = 0;
        RequestParser::State const state = parser_.handle_line(std::string(data + consumed, length - 2));
        consumed += length;
        ++lines;
        if (state == RequestParser::body)
            next_ = read_body;
        else if (state == RequestParser::complete)
            next_ = handle_request;
        else
            next_ = read_line;
    }
    if (next_ == read_body && body_complete(size - consumed))
        next_ = handle_request;
    return consumed;
}

std::size_t RequestReader::wanted(std::size_t held) const {
    if (next_ != read_body)
        return 1;
    std::size_t const length = parser_.content_length();
    return held >= length ? 0 : std::min(length - held, RequestLimits::body_read_step);
}

}  // namespace http
}  // namespace net
}  // namespace orv
