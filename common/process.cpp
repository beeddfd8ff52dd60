#include "common/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exception.hpp"
#include "common/syscall.hpp"

namespace orv {
namespace process {

namespace detail {
bool use_close_range = true;
}

namespace {

// Read end (first) and write end (second) of the signal pipe.
int SIGCHLD_FDS[2] = {-1, -1};

// The signals routed into the pipe, so that a forked child can put them back
// to their default action without allocating.
bool handled_signals[NSIG] = {};

char const PROC_FD_DIR[] = "/proc/self/fd";

void signal_handler(int signal) {
    int const saved_errno = errno;
    // A full pipe drops the notification; nothing else may be done here.
    retry_eintr([&] { return ::write(SIGCHLD_FDS[1], &signal, sizeof(signal)); });
    errno = saved_errno;
}

void set_nonblocking(int fd) {
    int const flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        int const error = errno;
        close_descriptor(SIGCHLD_FDS[0]);
        close_descriptor(SIGCHLD_FDS[1]);
        SIGCHLD_FDS[0] = SIGCHLD_FDS[1] = -1;
        throw Exception("Unable to switch a pipe to nonblocking mode: %1%.", error_string(error));
    }
}

void close_fd(int fd) { close_descriptor(fd); }

// The highest open descriptor number, from one listing of /proc/self/fd.
int highest_open_fd() {
    DIR* dir = ::opendir(PROC_FD_DIR);
    if (dir == nullptr) {
        throw Exception("Unable to read contents of %1%: %2%.", PROC_FD_DIR, error_string(errno));
    }
    long highest = -1;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        long const fd = std::strtol(entry->d_name, nullptr, 10);
        if (fd > highest) highest = fd;
    }
    if (errno != 0) {
        int const error = errno;
        ::closedir(dir);
        throw Exception("Unable read contents of %1%: %2%.", PROC_FD_DIR, error_string(error));
    }
    ::closedir(dir);
    return static_cast<int>(highest);
}

// Closes ranges of descriptors. close_range does it in one call without
// listing anything; on a kernel without it, /proc/self/fd is listed once and
// the open part of each range is closed number by number (failures for
// numbers that are not open are ignored).
class RangeCloser {
public:
    void close(unsigned first, unsigned last) {
        if (first > last) return;
#ifdef SYS_close_range
        if (detail::use_close_range && ::syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
        if (highest_ < -1) highest_ = highest_open_fd();
        for (long fd = first; fd <= static_cast<long>(last) && fd <= highest_; ++fd) {
            close_fd(static_cast<int>(fd));
        }
    }

private:
    long highest_ = -2;  // not listed yet
};

// Puts the routed signals back to their default action and closes the
// signal pipe unless kept, so that a signal reaching a freshly forked child
// never lands in the parent's pipe.
void detach_from_signal_pipe(std::set<int> const& keep) {
    for (int signal = 1; signal < NSIG; ++signal) {
        if (handled_signals[signal]) ::signal(signal, SIG_DFL);
    }
    for (int fd : SIGCHLD_FDS) {
        if (fd >= 0 && keep.count(fd) == 0) close_fd(fd);
    }
}

}  // namespace

void block_all_signals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

int setup_signal_handler(std::vector<int> const& signals) {
    if (SIGCHLD_FDS[0] >= 0) throw Exception("You can set up only one signal handler.");
    if (::pipe(SIGCHLD_FDS) == -1) {
        int const error = errno;
        SIGCHLD_FDS[0] = SIGCHLD_FDS[1] = -1;
        throw Exception("Unable to create a pipe: %1%.", error_string(error));
    }
    set_nonblocking(SIGCHLD_FDS[0]);
    set_nonblocking(SIGCHLD_FDS[1]);

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NODEFER | SA_NOCLDSTOP;

    sigset_t unblocked;
    sigemptyset(&unblocked);
    for (int signal : signals) {
        if (signal > 0 && signal < NSIG) handled_signals[signal] = true;
        ::sigaction(signal, &action, nullptr);
        sigaddset(&unblocked, signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    return SIGCHLD_FDS[0];
}

int wait_for_termination_signal() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGQUIT);
    int signal = 0;
    if (sigwait(&termination, &signal) != 0) return 0;
    return signal;
}

// Leaves open exactly the kept descriptors, closing the gaps between them.
void close_all_fds(std::set<int> const& keep) {
    RangeCloser closer;
    unsigned next = 0;
    for (int fd : keep) {
        if (fd < 0) continue;
        if (static_cast<unsigned>(fd) > next) closer.close(next, static_cast<unsigned>(fd) - 1);
        next = static_cast<unsigned>(fd) + 1;
    }
    closer.close(next, ~0U);
}

int fork_process(bool unblock_signals, bool close_fds, std::set<int> const& keep) {
    pid_t const pid = ::fork();
    if (pid == -1) throw Exception("Unable to fork(): %1%.", error_string(errno));
    if (pid > 0) return pid;

    try {
        if (unblock_signals) {
            detach_from_signal_pipe(keep);
            sigset_t none;
            sigemptyset(&none);
            int const error = pthread_sigmask(SIG_SETMASK, &none, nullptr);
            if (error != 0) {
                throw Exception("Unable to change mask of blocked signals: %1%.", error_string(error));
            }
        }
        if (close_fds) close_all_fds(keep);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "Post fork() actions failed: %s.\n", e.what());
        std::fflush(stderr);
        ::_exit(1);
    }
    return 0;
}

}  // namespace process

namespace daemon {

void daemonize(std::set<int> keep, bool detach, ParentWait const& parent_wait) {
    keep.insert({0, 1, 2});
    if (detach) {
        if (process::fork_process(true, true, keep) != 0) ::_exit(parent_wait ? parent_wait() : 0);
        if (::setsid() == -1) {
            throw Exception("Unable to create a new SID for the child process: %1%.", error_string(errno));
        }
    } else {
        process::close_all_fds(keep);
    }

    if (::chdir("/") == -1) {
        throw Exception("Unable to change current directory to the root directory: %1%.",
                        error_string(errno));
    }
    ::umask(0);
    ::signal(SIGHUP, SIG_IGN);

    int const null_fd = retry_eintr([] { return ::open("/dev/null", O_RDONLY); });
    if (null_fd == -1) throw Exception("Unable to open /dev/null for reading: %1%.", error_string(errno));
    if (null_fd != 0) {
        if (retry_eintr([null_fd] { return ::dup2(null_fd, 0); }) == -1) {
            int const error = errno;
            close_descriptor(null_fd);
            throw Exception("Unable to duplicate a file descriptor: %1%.", error_string(error));
        }
        close_descriptor(null_fd);
    }
}

}  // namespace daemon
}  // namespace orv
