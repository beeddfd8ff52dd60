#ifndef ORV_COMMON_INSTANCE_LOCK_HPP
#define ORV_COMMON_INSTANCE_LOCK_HPP

#include <sys/types.h>

#include <stdexcept>
#include <string>

namespace orv {
class TrustedDirectory;

namespace daemon {

// Another daemon holds the lock.
class AlreadyRunning : public std::runtime_error {
public:
    AlreadyRunning(std::string const& name, pid_t pid);
};

// One daemon per service name and log directory: an exclusive lock on
// DIR/NAME.lock, taken before any log file is touched, so that a second
// start can neither move the running daemon's links nor rotate away the
// files it still writes. The lock lives as long as its descriptor, which
// survives daemonizing; the file names the holder's pid for the next one.
// A symbolic link, a file of another user or one with a second name at the
// lock file's name is refused, not written through.
class InstanceLock {
public:
    // Throws AlreadyRunning, or orv::Exception when the file cannot be used.
    InstanceLock(TrustedDirectory const& directory, std::string const& name);
    ~InstanceLock();
    InstanceLock(InstanceLock const&) = delete;
    InstanceLock& operator=(InstanceLock const&) = delete;

    int fd() const { return fd_; }
    // Writes this process's pid into the file: call it in the daemon.
    void record_pid();

private:
    int fd_;
};

}  // namespace daemon
}  // namespace orv

#endif
