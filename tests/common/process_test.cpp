#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/exception.hpp"
#include "common/process.hpp"
#include "tests/common/child.hpp"

namespace {

using orv::test::exited_with;
using orv::test::run_in_child;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Opens /dev/null onto exactly the given descriptor number.
void open_at(int fd) {
    int const opened = ::open("/dev/null", O_RDONLY);
    if (opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
    }
}

// Returns 0 when exactly 0-2, 5 and 7 survive out of 0-2, 5, 7, 9 and 40.
int keeps_exactly_the_kept_descriptors() {
    for (int fd : {5, 7, 9, 40}) open_at(fd);
    orv::process::close_all_fds({0, 1, 2, 5, 7, 1000});
    for (int fd : {0, 1, 2, 5, 7}) {
        if (!is_open(fd)) return 10 + fd;
    }
    for (int fd : {3, 4, 6, 8, 9, 40}) {
        if (is_open(fd)) return 60 + fd;
    }
    return 0;
}

TEST(CloseAllFds, KeepsExactlyTheKeptDescriptors) {
    EXPECT_TRUE(exited_with(run_in_child(keeps_exactly_the_kept_descriptors), 0));
}

TEST(CloseAllFds, ListingFallbackKeepsExactlyTheKeptDescriptors) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    orv::process::detail::use_close_range = false;
                    return keeps_exactly_the_kept_descriptors();
                }),
                            0));
}

TEST(CloseAllFds, EmptyKeepSetClosesStandardDescriptorsToo) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    orv::process::close_all_fds({});
                    return is_open(0) || is_open(1) || is_open(2) ? 1 : 0;
                }),
                            0));
}

TEST(SignalPipe, RecordsSignalsInOrderAndRefusesASecondPipe) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    orv::process::block_all_signals();
                    int const fd = orv::process::setup_signal_handler({SIGUSR1, SIGUSR2});
                    try {
                        orv::process::setup_signal_handler({SIGUSR1});
                        return 1;
                    } catch (orv::Exception const& e) {
                        if (std::string(e.what()) != "You can set up only one signal handler.") return 2;
                    }
                    if ((::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0) return 3;
                    ::raise(SIGUSR1);
                    ::raise(SIGUSR2);
                    ::raise(SIGUSR1);
                    int records[4] = {};
                    ssize_t const got = ::read(fd, records, sizeof(records));
                    if (got != 3 * static_cast<ssize_t>(sizeof(int))) return 4;
                    if (records[0] != SIGUSR1 || records[1] != SIGUSR2 || records[2] != SIGUSR1) return 5;
                    return 0;
                }),
                            0));
}

// A child forked with unblock_signals must not write into its parent's pipe:
// the routed signals are back at their default action and the pipe is closed.
TEST(ForkProcess, ChildLeavesTheSignalPipeAlone) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    orv::process::block_all_signals();
                    int const fd = orv::process::setup_signal_handler({SIGUSR1});
                    pid_t const pid = orv::process::fork_process(true, true, {0, 1, 2});
                    if (pid == 0) {
                        if (is_open(fd)) ::_exit(7);
                        struct sigaction current;
                        ::sigaction(SIGUSR1, nullptr, &current);
                        sigset_t mask;
                        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
                        ::_exit(current.sa_handler == SIG_DFL && !sigismember(&mask, SIGTERM) ? 0 : 8);
                    }
                    int status = 0;
                    ::waitpid(pid, &status, 0);
                    if (!exited_with(status, 0)) return 10 + WEXITSTATUS(status);
                    int record;
                    return ::read(fd, &record, sizeof(record)) == -1 && errno == EAGAIN ? 0 : 20;
                }),
                            0));
}

TEST(ForkProcess, WithoutFlagsTheChildKeepsMaskAndDescriptors) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    orv::process::block_all_signals();
                    open_at(9);
                    pid_t const pid = orv::process::fork_process(false, false, {});
                    if (pid == 0) {
                        sigset_t mask;
                        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
                        ::_exit(is_open(9) && sigismember(&mask, SIGTERM) ? 0 : 1);
                    }
                    int status = 0;
                    ::waitpid(pid, &status, 0);
                    return exited_with(status, 0) ? 0 : 1;
                }),
                            0));
}

// With close_range out of the way and /proc hidden, the clean-out in the
// child fails; the child reports it and exits 1 without returning.
TEST(ForkProcess, FailedPostForkStepIsReportedAndExitsOne) {
    int pipe_fds[2];
    ASSERT_EQ(0, ::pipe(pipe_fds));
    int const status = run_in_child([&] {
        ::close(pipe_fds[0]);
        ::dup2(pipe_fds[1], 2);
        if (::unshare(CLONE_NEWNS) != 0) return 90;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
        if (::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) return 92;
        orv::process::detail::use_close_range = false;
        if (orv::process::fork_process(true, true, {0, 1, 2}) == 0) return 93;  // never reached
        int status = 0;
        ::wait(&status);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 94;
    });
    ::close(pipe_fds[1]);
    char text[512] = {};
    ssize_t const got = ::read(pipe_fds[0], text, sizeof(text) - 1);
    ::close(pipe_fds[0]);
    EXPECT_TRUE(exited_with(status, 1)) << WEXITSTATUS(status);
    ASSERT_GT(got, 0);
    EXPECT_EQ("Post fork() actions failed: Unable to read contents of /proc/self/fd: " +
                  std::string(std::strerror(ENOENT)) + "..\n",  // the message keeps its own period
              std::string(text));
}

TEST(Daemonize, WithoutDetachClosesAndRedirectsInPlace) {
    EXPECT_TRUE(exited_with(run_in_child([] {
                    ::close(0);
                    open_at(9);
                    pid_t const before = ::getpid();
                    orv::daemon::daemonize({}, false);
                    if (::getpid() != before) return 1;
                    if (is_open(9)) return 2;
                    struct stat standard_input, null_device;
                    ::fstat(0, &standard_input);
                    ::stat("/dev/null", &null_device);
                    if (standard_input.st_rdev != null_device.st_rdev) return 3;
                    char cwd[16] = {};
                    if (::getcwd(cwd, sizeof(cwd)) == nullptr || std::string(cwd) != "/") return 4;
                    mode_t const mask = ::umask(022);
                    if (mask != 0) return 5;
                    struct sigaction hup;
                    ::sigaction(SIGHUP, nullptr, &hup);
                    return hup.sa_handler == SIG_IGN ? 0 : 6;
                }),
                            0));
}

// The invoking process exits 0 inside daemonize; only the detached child
// goes on, as the leader of a new session.
TEST(Daemonize, DetachEndsTheInvokerAndContinuesInANewSession) {
    int pipe_fds[2];
    ASSERT_EQ(0, ::pipe(pipe_fds));
    int const status = run_in_child([&] {
        ::close(pipe_fds[0]);
        orv::daemon::daemonize({pipe_fds[1]}, true);
        char const report = ::getsid(0) == ::getpid() ? 'S' : 'N';
        ::write(pipe_fds[1], &report, 1);
        return 0;
    });
    ::close(pipe_fds[1]);
    EXPECT_TRUE(exited_with(status, 0));
    char report = 0;
    EXPECT_EQ(1, ::read(pipe_fds[0], &report, 1));
    EXPECT_EQ('S', report);
    ::close(pipe_fds[0]);
}

}  // namespace
