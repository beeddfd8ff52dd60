#include "common/log_text.hpp"

#include <cstdio>

namespace orv {
namespace logging {

std::string client_text(std::string const& text, std::size_t limit) {
    std::size_t const shown = text.size() > limit ? limit : text.size();
    std::string out;
    out.reserve(shown + 16);
    for (std::size_t i = 0; i < shown; ++i) {
        unsigned char const c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace logging
}  // namespace orv
