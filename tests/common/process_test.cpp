#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/exception.hpp"
#include "common/process.hpp"
#include "tests/common/child.hpp"

namespace orv {
namespace test {
namespace {

// The tests run their bodies in a child, which mostly exits 0 when all is
// well and with a code naming the failed step otherwise.

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Opens /dev/null onto exactly the given descriptor number.
void open_at(int fd) {
    int const opened = ::open("/dev/null", O_RDONLY);
    if (opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
    }
}

bool blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal);
}

// Both ways of closing: close_range, and listing /proc/self/fd.
TEST(CloseAllFds, KeepsExactlyTheKeptDescriptors) {
    for (bool close_range : {true, false}) {
        EXPECT_EQ(0, exit_code_in_child([close_range] {
                      process::detail::use_close_range = close_range;
                      for (int fd : {5, 7, 9, 40}) open_at(fd);
                      process::close_all_fds({0, 1, 2, 5, 7, 1000});
                      for (int fd : {0, 1, 2, 5, 7})
                          if (!is_open(fd)) return 10 + fd;
                      for (int fd : {3, 4, 6, 8, 9, 40})
                          if (is_open(fd)) return 60 + fd;
                      process::close_all_fds({});
                      return is_open(0) || is_open(1) || is_open(2) ? 1 : 0;
                  }))
            << "close_range " << close_range;
    }
}

TEST(SignalPipe, RecordsSignalsInOrderAndRefusesASecondPipe) {
    EXPECT_EQ(0, exit_code_in_child([] {
                  process::block_all_signals();
                  int const fd = process::setup_signal_handler({SIGUSR1, SIGUSR2});
                  try {
                      process::setup_signal_handler({SIGUSR1});
                      return 1;
                  } catch (Exception const& e) {
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
              }));
}

// A child forked with unblock_signals must not write into its parent's pipe:
// the routed signals are back at their default action and the pipe is closed.
TEST(ForkProcess, ChildLeavesTheSignalPipeAlone) {
    EXPECT_EQ(0, exit_code_in_child([] {
                  process::block_all_signals();
                  int const fd = process::setup_signal_handler({SIGUSR1});
                  pid_t const pid = process::fork_process(true, true, {0, 1, 2});
                  if (pid == 0) {
                      if (is_open(fd)) ::_exit(7);
                      struct sigaction current;
                      ::sigaction(SIGUSR1, nullptr, &current);
                      ::_exit(current.sa_handler == SIG_DFL && !blocked(SIGTERM) ? 0 : 8);
                  }
                  int status = 0;
                  ::waitpid(pid, &status, 0);
                  if (!exited_with(status, 0)) return 10 + WEXITSTATUS(status);
                  int record;
                  return ::read(fd, &record, sizeof(record)) == -1 && errno == EAGAIN ? 0 : 20;
              }));
}

TEST(ForkProcess, WithoutFlagsTheChildKeepsMaskAndDescriptors) {
    EXPECT_EQ(0, exit_code_in_child([] {
                  process::block_all_signals();
                  open_at(9);
                  pid_t const pid = process::fork_process(false, false, {});
                  if (pid == 0) ::_exit(is_open(9) && blocked(SIGTERM) ? 0 : 1);
                  int status = 0;
                  ::waitpid(pid, &status, 0);
                  return exited_with(status, 0) ? 0 : 2;
              }));
}

// With close_range out of the way and /proc hidden, the clean-out in the
// child fails; the child reports it and exits 1 without returning.
TEST(ForkProcess, FailedPostForkStepIsReportedAndExitsOne) {
    int code = 0;
    std::string const text = output_of_child(
        [](int err) {
            ::dup2(err, 2);
            if (::unshare(CLONE_NEWNS) != 0) return 90;
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
            if (::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) return 92;
            process::detail::use_close_range = false;
            if (process::fork_process(true, true, {0, 1, 2}) == 0) return 93;  // never reached
            int status = 0;
            ::wait(&status);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 94;
        },
        code);
    EXPECT_EQ(1, code);
    EXPECT_EQ("Post fork() actions failed: Unable to read contents of /proc/self/fd: " +
                  std::string(std::strerror(ENOENT)) + "..\n",  // the message keeps its own period
              text);
}

TEST(Daemonize, WithoutDetachClosesAndRedirectsInPlace) {
    EXPECT_EQ(0, exit_code_in_child([] {
                  ::close(0);
                  open_at(9);
                  pid_t const before = ::getpid();
                  daemon::daemonize({}, false);
                  if (::getpid() != before) return 1;
                  if (is_open(9)) return 2;
                  struct stat standard_input, null_device;
                  ::fstat(0, &standard_input);
                  ::stat("/dev/null", &null_device);
                  if (standard_input.st_rdev != null_device.st_rdev) return 3;
                  char cwd[16] = {};
                  if (::getcwd(cwd, sizeof(cwd)) == nullptr || std::string(cwd) != "/") return 4;
                  if (::umask(022) != 0) return 5;
                  struct sigaction hup;
                  ::sigaction(SIGHUP, nullptr, &hup);
                  return hup.sa_handler == SIG_IGN ? 0 : 6;
              }));
}

// The invoking process exits 0 inside daemonize; only the detached child
// goes on, as the leader of a new session.
TEST(Daemonize, DetachEndsTheInvokerAndContinuesInANewSession) {
    int code = -1;
    std::string const report = output_of_child(
        [](int out) {
            daemon::daemonize({out}, true);
            char const report = ::getsid(0) == ::getpid() ? 'S' : 'N';
            return ::write(out, &report, 1) == 1 ? 0 : 1;
        },
        code);
    EXPECT_EQ(0, code);
    EXPECT_EQ("S", report);
}

}  // namespace
}  // namespace test
}  // namespace orv
