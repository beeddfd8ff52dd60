#ifndef ORV_COMMON_LOGGING_HPP
#define ORV_COMMON_LOGGING_HPP

#include <string>

namespace orv {
namespace logging {

// The directory every log and capture file goes to.
extern char const LOG_DIR[];

// Captures standard error and standard output into time-stamped files under
// LOG_DIR (keeping the three newest of each stream, with a fixed-name link to
// the newest), and points the logging library at LOG_DIR/NAME.info and
// LOG_DIR/NAME.error. Throws orv::Exception when a capture file cannot be
// opened or duplicated onto its descriptor; other problems are reported on
// standard error and skipped.
void init(std::string const& name);

// Flushes and closes the logging library's files.
void shutdown();

}  // namespace logging
}  // namespace orv

#endif
