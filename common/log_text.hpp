#ifndef ORV_COMMON_LOG_TEXT_HPP
#define ORV_COMMON_LOG_TEXT_HPP

#include <cstddef>
#include <string>

namespace orv {
namespace logging {

// Text a client chose (a path, an action, a header value), made fit for one
// log line: control characters and DEL are written as \xHH, so that a line
// feed cannot start a forged record, and text longer than `limit` bytes is
// cut there and marked with its full length ("... (10240 bytes)"). The
// request itself is never changed; only its mention in the log.
std::string client_text(std::string const& text, std::size_t limit = 256);

}  // namespace logging
}  // namespace orv

#endif
