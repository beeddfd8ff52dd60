#ifndef ORV_TS_WORKER_IDENTITY_HPP
#define ORV_TS_WORKER_IDENTITY_HPP

#include <sys/types.h>

#include <string>
#include <vector>

namespace orv {
namespace ts {

// Who the worker processes run as; by default, whoever runs the daemon.
// Resolved once at start-up, in the daemon: the user database may lock,
// allocate or ask a directory service, none of which a child forked from a
// multi-threaded process may do. The child only makes the calls.
struct WorkerIdentity {
    bool change_group = false;  // setgroups and setresgid
    bool change_user = false;   // setresuid
    gid_t gid = 0;
    uid_t uid = 0;
    std::vector<gid_t> groups;  // the supplementary groups

    // In the child, before execv: the supplementary groups, the group and
    // then the user (once the user is changed, the rest could no longer
    // be), each call checked. 0, or the error number of the call that
    // failed. Allocates nothing.
    int assume() const;
    // "uid 65534, gid 65534 (groups 65534)", for the log.
    std::string describe() const;
};

// The identity of --user USER and --group GROUP, names or numeric ids;
// either may be empty. USER brings its group (unless GROUP is given) and
// the supplementary groups of its entry in the user database; GROUP alone
// changes the group and leaves no supplementary groups. Throws
// std::invalid_argument with the one-line reason for an unknown name.
WorkerIdentity resolve_worker_identity(std::string const& user, std::string const& group);

}  // namespace ts
}  // namespace orv

#endif
