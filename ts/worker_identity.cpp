#include "ts/worker_identity.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace orv {
namespace ts {

namespace {

// A whole decimal id, below the (id_t) -1 that the calls take for "none".
bool numeric_id(std::string const& text, unsigned long& id) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    id = std::stoul(text);
    return id < 0xffffffffUL;
}

std::invalid_argument unknown(std::string const& text, char const* option, char const* what) {
    return std::invalid_argument("Invalid value '" + text + "' for --" + option + ": no such " + what + ".");
}

// The user database entry by name or, for a number, by id; false when
// there is none. The reentrant calls want a buffer that may have to grow.
bool find_user(std::string const& user, struct passwd& entry, std::vector<char>& buffer) {
    unsigned long id = 0;
    bool const by_id = numeric_id(user, id);
    for (buffer.resize(4096);; buffer.resize(buffer.size() * 2)) {
        struct passwd* found = nullptr;
        int const error = by_id ? ::getpwuid_r(static_cast<uid_t>(id), &entry, buffer.data(), buffer.size(), &found)
                                : ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) continue;
        return error == 0 && found != nullptr;
    }
}

gid_t find_group(std::string const& group) {
    unsigned long id = 0;
    if (numeric_id(group, id)) return static_cast<gid_t>(id);
    std::vector<char> buffer;
    for (buffer.resize(4096);; buffer.resize(buffer.size() * 2)) {
        struct group entry;
        struct group* found = nullptr;
        int const error = ::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) continue;
        if (error != 0 || found == nullptr) throw unknown(group, "group", "group");
        return entry.gr_gid;
    }
}

std::vector<gid_t> supplementary_groups(char const* user, gid_t gid) {
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(user, gid, groups.data(), &count) != -1) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        groups.resize(static_cast<std::size_t>(count) > groups.size() ? count : groups.size() * 2);
    }
}

}  // namespace

int WorkerIdentity::assume() const {
    if (change_group) {
        if (::setgroups(groups.size(), groups.data()) != 0) return errno;
        if (::setresgid(gid, gid, gid) != 0) return errno;
    }
    if (change_user && ::setresuid(uid, uid, uid) != 0) return errno;
    return 0;
}

std::string WorkerIdentity::describe() const {
    std::string text;
    if (change_user) text = "uid " + std::to_string(uid) + ", ";
    text += "gid " + std::to_string(gid) + " (groups";
    for (gid_t group : groups) text += " " + std::to_string(group);
    return text + (groups.empty() ? " none)" : ")");
}

// A numeric user without an entry has no group to bring: it needs GROUP.
WorkerIdentity resolve_worker_identity(std::string const& user, std::string const& group) {
    WorkerIdentity identity;
    if (!group.empty()) {
        identity.change_group = true;
        identity.gid = find_group(group);
    }
    if (user.empty()) return identity;
    struct passwd entry;
    std::vector<char> buffer;
    unsigned long id = 0;
    identity.change_user = true;
    identity.change_group = true;
    if (!find_user(user, entry, buffer)) {
        if (!numeric_id(user, id)) throw unknown(user, "user", "user");
        if (group.empty())
            throw std::invalid_argument("User " + user + " has no entry in the user database: give --group as well.");
        identity.uid = static_cast<uid_t>(id);
        return identity;
    }
    identity.uid = entry.pw_uid;
    if (group.empty()) identity.gid = entry.pw_gid;
    identity.groups = supplementary_groups(entry.pw_name, identity.gid);
    return identity;
}

}  // namespace ts
}  // namespace orv
