#ifndef ORV_TS_GROUP_MEMORY_HPP
#define ORV_TS_GROUP_MEMORY_HPP

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace orv {
namespace ts {

// Resident memory by process group, from one pass over /proc: each
// process's stat file is read once and its resident set added to its
// group's. A worker leads a group of its own, so its entry counts the
// worker with every helper it started. Pages shared between members (a
// forked copy not yet written to) count once per member: the figure errs
// high, never low. Processes that vanish during the pass are skipped.
std::unordered_map<pid_t, std::uint64_t> resident_by_group(std::string const& proc = "/proc");

// Reads the process group and the resident pages out of the text of a
// /proc/PID/stat file; false when the text is not such a line. The command
// name, in parentheses, may itself hold spaces and parentheses.
bool parse_stat(std::string const& text, pid_t& group, std::uint64_t& resident_pages);

}  // namespace ts
}  // namespace orv

#endif
