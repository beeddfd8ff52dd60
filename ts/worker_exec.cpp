#include "ts/worker_exec.hpp"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/syscall.hpp"
#include "common/time_zone.hpp"
#include "ts/worker_identity.hpp"

namespace orv {
namespace ts {

WorkerCommand::WorkerCommand(int number, std::string const& program, std::string const& service,
                             std::string const& group, int socket_fd,
                             std::vector<std::string> const& args)
    : number_(number) {
    arguments_.reserve(5 + args.size());
    arguments_.push_back(program);
    arguments_.push_back(service);
    arguments_.push_back(group);
    arguments_.push_back(std::to_string(number));
    arguments_.push_back(std::to_string(socket_fd));
    arguments_.insert(arguments_.end(), args.begin(), args.end());
    argv_.reserve(arguments_.size() + 1);
    for (std::string& argument : arguments_) argv_.push_back(&argument[0]);
    argv_.push_back(nullptr);
    environment_ = time_zone::child_environment();
}

// The worker leads a process group of its own, so that the daemon's signals
// reach whatever the worker starts, and it dies with the daemon: SIGKILL
// rather than SIGTERM, because a daemon that is gone cannot wait for a
// worker that takes its time, and its client is gone with it. The death
// signal follows the thread that forked, which is a pool thread: those run
// until the service has stopped, and it stops only once every worker is
// gone. A change of user or group clears the death signal, so it is set
// after the identity is taken on; a daemon that died before the prctl call
// is caught by the getppid check. The daemon runs with a cleared umask;
// files a worker creates must not be writable by everyone.
void WorkerCommand::exec(pid_t parent, WorkerIdentity const& identity) const {
    ::setpgid(0, 0);
    if (int const error = identity.assume()) fail(error);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::umask(022);
    ::execve(argv_[0], argv_.data(), environment_.data());
    fail(errno);
}

void WorkerCommand::fail(int error) const {
    // strerrordesc_np is strerror without the locale machinery (and its
    // locks); the daemon never sets a locale, so the texts are the same.
    char const* reason = ::strerrordesc_np(error);
    char line[8192];
    int length = std::snprintf(line, sizeof(line), "Failed to start worker #%zd %s: %s.\n",
                               static_cast<ssize_t>(number_), argv_[0],
                               reason != nullptr ? reason : "Unknown error");
    if (length < 0) length = 0;
    if (static_cast<std::size_t>(length) >= sizeof(line)) length = sizeof(line) - 1;
    for (char const* p = line; length > 0;) {
        ssize_t const written = retry_eintr([&] { return ::write(2, p, static_cast<std::size_t>(length)); });
        if (written <= 0) break;
        p += written;
        length -= static_cast<int>(written);
    }
    ::_exit(1);
}

}  // namespace ts
}  // namespace orv
