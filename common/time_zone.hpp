#ifndef ORV_COMMON_TIME_ZONE_HPP
#define ORV_COMMON_TIME_ZONE_HPP

#include <vector>

namespace orv {
namespace time_zone {

// Without TZ the C library reads the system's zone file anew for every
// broken-down local time the logging library asks for (a stat of
// /etc/localtime per log line). Naming that same file in TZ, once, before
// any thread starts, lets it keep what it read: the zone is the same, only
// the stat is gone. Does nothing when TZ is set already.
void pin();

// The environment for a program the daemon starts: the daemon's own, less
// the TZ that pin() added, so the program sees what it always saw. Built
// before a fork; the pointers are the environment's own.
std::vector<char*> child_environment();

}  // namespace time_zone
}  // namespace orv

#endif
