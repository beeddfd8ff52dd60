#include "messaging/json_guard.hpp"

namespace orv {
namespace net {
namespace messaging {
namespace detail {

bool nested_deeper_than(std::string const& text, std::size_t limit) {
    std::size_t depth = 0;
    // The byte that ends the current string or regular expression; 0 outside.
    char closing = 0;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        char const c = text[i];
        if (closing != 0) {
            if (c == '\\')
                ++i;
            else if (c == closing)
                closing = 0;
            continue;
        }
        switch (c) {
        case '"':
        case '\'':
        case '/':
            closing = c;
            break;
        case '{':
        case '[':
            if (++depth > limit)
                return true;
            break;
        case '}':
        case ']':
            if (depth > 0)
                --depth;
            break;
        default:
            break;
        }
    }
    return false;
}

std::string cut_text(std::string const& text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    return text.substr(0, limit) + "... (cut)";
}

}  // namespace detail
}  // namespace messaging
}  // namespace net
}  // namespace orv
