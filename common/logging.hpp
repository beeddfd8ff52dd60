#ifndef ORV_COMMON_LOGGING_HPP
#define ORV_COMMON_LOGGING_HPP

#include <string>

namespace orv {
class TrustedDirectory;

namespace logging {

// The directory log and capture files go to unless init is told otherwise.
extern char const LOG_DIR[];

// Captures standard error and standard output into time-stamped files under
// the directory (keeping the three newest of each stream, with a fixed-name
// link to the newest), and points the logging library at DIR/NAME.info and
// DIR/NAME.error. Throws orv::Exception when a capture file cannot be opened
// or duplicated onto its descriptor; other problems are reported on standard
// error and skipped. The directory is opened and checked first (see
// TrustedDirectory); one that cannot be trusted is an orv::Exception too.
void init(std::string const& name, std::string const& directory = LOG_DIR);
// The same in a directory opened and checked already, which logging keeps.
void init(std::string const& name, TrustedDirectory directory);

// Sends every record to standard error instead, and captures nothing: for a
// service manager or a container that collects the process's output.
void init_to_stderr(std::string const& name);

// Starts new capture files for standard error and output (a new time stamp),
// moves the links to them and keeps the three newest of each stream, so that
// the old ones can be rotated away. Runs while other threads log: each
// stream changes in one dup2. False (and nothing done) after init_to_stderr.
// Throws orv::Exception as init does; a stream whose new file cannot be
// opened keeps writing into its old one.
bool reopen_captures();

// Writes the summaries of identical records held back in a second that is
// over (see RepeatFilter); the service calls it once a second.
void flush_repeats();

// Removes the logging library's own INFO and ERROR files of this service
// that were last written more than `days` days ago (0: keep them all).
void remove_overdue_logs(unsigned days);

// Flushes and closes the logging library's files.
void shutdown();

}  // namespace logging
}  // namespace orv

#endif
