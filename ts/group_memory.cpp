#include "ts/group_memory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "common/syscall.hpp"

namespace orv {
namespace ts {

namespace {

// A stat line is a few hundred bytes; a longer one is cut, and the fields
// after the command name that are needed come early.
std::size_t const STAT_BYTES = 1024;

bool is_pid(char const* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

std::string read_stat(std::string const& path) {
    int const fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd == -1) return std::string();
    char buffer[STAT_BYTES];
    ssize_t const got = retry_eintr([&] { return ::read(fd, buffer, sizeof(buffer)); });
    close_descriptor(fd);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

}  // namespace

// After "pid (comm) ": state, ppid, pgrp, then rss as the 22nd field after
// the state (the 24th of the line).
bool parse_stat(std::string const& text, pid_t& group, std::uint64_t& resident_pages) {
    std::string::size_type const close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    long long pgrp = 0;
    unsigned long long rss = 0;
    for (int i = 1; i <= 22 && fields >> field; ++i) {
        if (i == 3) pgrp = std::atoll(field.c_str());
        if (i == 22) rss = std::strtoull(field.c_str(), nullptr, 10);
    }
    if (!fields || pgrp <= 0) return false;
    group = static_cast<pid_t>(pgrp);
    resident_pages = rss;
    return true;
}

std::unordered_map<pid_t, std::uint64_t> resident_by_group(std::string const& proc) {
    std::unordered_map<pid_t, std::uint64_t> groups;
    DIR* dir = ::opendir(proc.c_str());
    if (dir == nullptr) return groups;
    std::uint64_t const page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    while (struct dirent* entry = ::readdir(dir)) {
        if (!is_pid(entry->d_name)) continue;
        pid_t group = 0;
        std::uint64_t pages = 0;
        if (parse_stat(read_stat(proc + "/" + entry->d_name + "/stat"), group, pages)) groups[group] += pages * page;
    }
    ::closedir(dir);
    return groups;
}

}  // namespace ts
}  // namespace orv
