#ifndef ORV_MESSAGING_JSON_GUARD_HPP
#define ORV_MESSAGING_JSON_GUARD_HPP

#include <cstddef>
#include <string>

namespace orv {
namespace net {
namespace messaging {
namespace detail {

// Deepest nesting the JSON parser is allowed to reach. The parser recurses
// once per object or array without a bound of its own, so a body of a few
// hundred kilobytes of "[" would overflow the thread's stack.
std::size_t const MAX_JSON_DEPTH = 200;

// True when objects and arrays in the text nest deeper than `limit`. Brackets
// inside strings (double- or single-quoted) and /regular expressions/, which
// the parser also accepts, are not counted; backslash escapes are honoured.
bool nested_deeper_than(std::string const& text, std::size_t limit);

// At most `limit` bytes of the text, marked "... (cut)" when shortened. The
// parser's error messages quote the whole input; this keeps them short.
std::string cut_text(std::string const& text, std::size_t limit);

}  // namespace detail
}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
