#include "common/readiness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "common/exception.hpp"
#include "common/syscall.hpp"

namespace orv {
namespace daemon {

namespace {

char const READY = 'R';
char const FAILED = 'F';

void close_if_open(int& fd) {
    if (fd >= 0) close_descriptor(fd);
    fd = -1;
}

}  // namespace

Readiness::Readiness() : read_fd_(-1), write_fd_(-1) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == -1) throw Exception("Unable to create a pipe: %1%.", error_string(errno));
    read_fd_ = fds[0];
    write_fd_ = fds[1];
}

Readiness::~Readiness() {
    close_if_open(read_fd_);
    close_if_open(write_fd_);
}

// Everything the daemon writes arrives before the pipe's end: the report is
// read until end of file or until patience runs out.
int Readiness::wait(std::chrono::milliseconds patience) {
    close_if_open(write_fd_);
    auto const deadline = std::chrono::steady_clock::now() + patience;
    std::string message;
    for (;;) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now());
        struct pollfd readable = {read_fd_, POLLIN, 0};
        int const ready = left.count() <= 0 ? 0 : ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (!message.empty() && message[0] == READY) return 0;
            std::cerr << "The daemon did not report that it is ready within " << patience.count() / 1000
                      << " s; see its logs." << std::endl;
            return 1;
        }
        char chunk[512];
        ssize_t const got = retry_eintr([&] { return ::read(read_fd_, chunk, sizeof(chunk)); });
        if (got > 0) {
            message.append(chunk, static_cast<std::size_t>(got));
            if (message[0] == READY) return 0;
            continue;
        }
        if (message.empty()) {
            std::cerr << "The daemon exited before it was ready; see its logs." << std::endl;
        } else {
            std::cerr << message.substr(1) << std::endl;
        }
        return 1;
    }
}

void Readiness::ready() { report(READY, ""); }

void Readiness::failed(std::string const& text) { report(FAILED, text); }

// One write: a pipe takes up to 4096 bytes at once, and a longer failure
// text is cut rather than split.
void Readiness::report(char kind, std::string const& text) {
    if (write_fd_ < 0) return;
    std::string const message = (kind + text).substr(0, 4096);
    retry_eintr([&] { return ::write(write_fd_, message.data(), message.size()); });
    close_if_open(write_fd_);
}

}  // namespace daemon
}  // namespace orv
