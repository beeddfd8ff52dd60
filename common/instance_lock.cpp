#include "common/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/exception.hpp"
#include "common/syscall.hpp"
#include "common/trusted_directory.hpp"

namespace orv {
namespace daemon {

AlreadyRunning::AlreadyRunning(std::string const& name, pid_t pid)
    : std::runtime_error("The service " + name + " is already running" +
                         (pid > 0 ? " as PID " + std::to_string(pid) : std::string()) + ".") {}

InstanceLock::InstanceLock(TrustedDirectory const& directory, std::string const& name) : fd_(-1) {
    std::string const path = directory.path_of(name + ".lock");
    fd_ = directory.open_or_create_file(name + ".lock", O_RDWR, 0644);
    if (fd_ == -1) throw Exception("Unable to open the lock file %1%: %2%.", path, error_string(errno));
    if (retry_eintr([&] { return ::flock(fd_, LOCK_EX | LOCK_NB); }) == 0) return;
    int const error = errno;
    char text[32] = {};
    ssize_t const got = ::pread(fd_, text, sizeof(text) - 1, 0);
    close_descriptor(fd_);
    fd_ = -1;
    if (error != EWOULDBLOCK) throw Exception("Unable to lock %1%: %2%.", path, error_string(error));
    throw AlreadyRunning(name, got > 0 ? static_cast<pid_t>(std::atoi(text)) : 0);
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close_descriptor(fd_);
}

void InstanceLock::record_pid() {
    std::string const text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        ssize_t const written = ::pwrite(fd_, text.data(), text.size(), 0);
        (void)written;  // the pid only makes the next one's message better
    }
}

}  // namespace daemon
}  // namespace orv
