#include "http/text.hpp"

#include <cctype>
#include <sstream>

#include "common/exception.hpp"

namespace orv {
namespace net {
namespace http {
namespace detail {

namespace {

char const BLANKS[] = " \t";

// Reads two bytes as a hexadecimal int the way stream extraction does, so
// leading blanks and a sign are taken as the extraction takes them. Both bytes
// must be consumed.
bool decode_escape(std::string const& digits, int& value) {
    std::istringstream stream(digits);
    stream >> std::hex >> value;
    return !stream.fail() && stream.eof();
}

}  // namespace

std::string url_decode(std::string const& text) {
    std::string result;
    result.reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        char const c = text[i];
        if (c == '+') {
            result += ' ';
        } else if (c == '%') {
            if (text.size() - i < 3)
                break;
            int value = 0;
            if (!decode_escape(text.substr(i + 1, 2), value))
                throw Exception("failed to URL decode a string");
            result += static_cast<char>(value & 0xff);
            i += 2;
        } else {
            result += c;
        }
    }
    return result;
}

std::string strip(std::string const& text) {
    std::string::size_type const first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos)
        return std::string();
    std::string::size_type const last = text.find_last_not_of(BLANKS);
    return text.substr(first, last - first + 1);
}

std::string to_lower(std::string const& text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace detail
}  // namespace http
}  // namespace net
}  // namespace orv
