#ifndef ORV_HTTP_TEXT_HPP
#define ORV_HTTP_TEXT_HPP

#include <string>

namespace orv {
namespace net {
namespace http {
namespace detail {

// Decodes "+" and "%XX" escapes of a query name or value. Throws
// orv::Exception "failed to URL decode a string" on a malformed escape; an
// escape cut short by the end of the text ends the decoding there.
std::string url_decode(std::string const& text);

// The text without leading and trailing spaces and horizontal tabs.
std::string strip(std::string const& text);

// Byte-wise C tolower of the whole text.
std::string to_lower(std::string const& text);

}  // namespace detail
}  // namespace http
}  // namespace net
}  // namespace orv

#endif
