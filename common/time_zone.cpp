#include "common/time_zone.hpp"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace orv {
namespace time_zone {

namespace {

// The zone file the C library reads when TZ is unset.
char const SYSTEM_ZONE[] = ":/etc/localtime";
bool pinned = false;

}  // namespace

void pin() {
    if (::getenv("TZ") != nullptr) return;
    if (::setenv("TZ", SYSTEM_ZONE, 0) != 0) return;
    pinned = true;
    ::tzset();
}

std::vector<char*> child_environment() {
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (pinned && ::strncmp(*entry, "TZ=", 3) == 0) continue;
        environment.push_back(*entry);
    }
    environment.push_back(nullptr);
    return environment;
}

}  // namespace time_zone
}  // namespace orv
