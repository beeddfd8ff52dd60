#ifndef ORV_HTTP_REQUEST_READER_HPP
#define ORV_HTTP_REQUEST_READER_HPP

#include <cstddef>

#include "http/request_parser.hpp"

namespace orv {
namespace net {
namespace http {

// How a connection reads one request out of the bytes it has received, with
// no I/O of its own: it cuts complete lines off the front of the bytes, feeds
// them to the RequestParser, and says what the connection has to wait for
// next. The connection and the fuzz harness drive it the same way.
class RequestReader {
public:
    enum Next {
        read_line,       // a line is still incomplete
        read_body,       // the head is parsed; the body is not all there yet
        handle_request,  // the request is complete: the body is the first content_length() bytes
        take_turn        // max_lines lines were taken: give the thread back, then advance again
    };

    // Takes what it can from the front of the unconsumed bytes and returns
    // how many bytes it consumed (the lines with their CRLF; never body
    // bytes); the caller drops them before the next call, which must see the
    // same unconsumed bytes followed by any new ones. At most max_lines lines
    // are taken per call. Throws RequestError
    // when the request is refused, including a line that does not end within
    // RequestLimits::buffer bytes.
    std::size_t advance(char const* data, std::size_t size, std::size_t max_lines);

    Next next() const { return next_; }

    // The fewest further bytes worth waiting for, given `held` unconsumed
    // bytes: any byte may complete a line, while a body is waited for in steps
    // of min(remaining, RequestLimits::body_read_step).
    std::size_t wanted(std::size_t held) const;

    // Whether `held` unconsumed bytes hold the whole body.
    bool body_complete(std::size_t held) const { return held >= parser_.content_length(); }

    RequestParser const& parser() const { return parser_; }

private:
    RequestParser parser_;
    Next next_ = read_line;
    // Leading bytes of the unconsumed data already searched for a CRLF.
    std::size_t searched_ = 0;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
