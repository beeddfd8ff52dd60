#ifndef ORV_TS_WORKER_EXEC_HPP
#define ORV_TS_WORKER_EXEC_HPP

#include <sys/types.h>

#include <string>
#include <vector>

namespace orv {
namespace ts {

struct WorkerIdentity;

// The command line of one worker process, built before the fork: the
// service forks from a multi-threaded process, so the child must not
// allocate, take locks or throw; it only executes the program or reports
// why it could not.
class WorkerCommand {
public:
    // argv is program, service, group, number, socket descriptor, args...
    WorkerCommand(int number, std::string const& program, std::string const& service,
                  std::string const& group, int socket_fd, std::vector<std::string> const& args);
    WorkerCommand(WorkerCommand const&) = delete;
    WorkerCommand& operator=(WorkerCommand const&) = delete;

    std::vector<std::string> const& arguments() const { return arguments_; }

    // In the child: sets up the worker's process (below), takes on the
    // identity and executes the program; when either fails, writes "Failed
    // to start worker #N PROGRAM: REASON.\n" to standard error and ends the
    // process with status 1. `parent` is the daemon's pid, taken before the
    // fork.
    [[noreturn]] void exec(pid_t parent, WorkerIdentity const& identity) const;

private:
    [[noreturn]] void fail(int error) const;

    int number_;
    std::vector<std::string> arguments_;
    std::vector<char*> argv_;
    std::vector<char*> environment_;
};

}  // namespace ts
}  // namespace orv

#endif
