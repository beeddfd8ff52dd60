#include "ts/startup_report.hpp"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/readiness.hpp"
#include "common/syscall.hpp"
#include "common/trusted_directory.hpp"

namespace orv {
namespace ts {

namespace {

// sd_notify does nothing (and returns 0) unless NOTIFY_SOCKET is set.
void notify(std::string const& state) { ::sd_notify(0, state.c_str()); }

}  // namespace

StartupReport::StartupReport(daemon::Readiness* readiness, TrustedDirectory const* pid_directory,
                             std::string const& pid_name)
    : readiness_(readiness), pid_directory_(pid_directory), pid_name_(pid_name), pid_file_written_(false) {}

// The pid file goes only if it still names this process: a daemon started
// after this one may have taken the path over.
StartupReport::~StartupReport() {
    if (!pid_file_written_) return;
    int const fd = pid_directory_->open_file(pid_name_, O_RDONLY);
    if (fd == -1) return;
    char text[32] = {};
    ssize_t const got = retry_eintr([&] { return ::read(fd, text, sizeof(text) - 1); });
    close_descriptor(fd);
    if (got > 0 && std::atoi(text) == ::getpid()) pid_directory_->remove(pid_name_);
}

void StartupReport::listening(unsigned short) {
    write_pid_file();
    if (readiness_ != nullptr) readiness_->ready();
    notify("READY=1\nMAINPID=" + std::to_string(::getpid()));
}

void StartupReport::census(std::uint64_t workers, std::uint64_t busy, std::uint64_t idle) {
    std::ostringstream status;
    status << "STATUS=" << workers << " workers: " << busy << " busy, " << idle << " idle";
    std::lock_guard<std::mutex> lock(mutex_);
    if (status.str() == last_status_) return;
    last_status_ = status.str();
    notify(last_status_);
}

void StartupReport::recycling() { notify("RELOADING=1"); }

void StartupReport::recycled() { notify("READY=1"); }

void StartupReport::stopping() { notify("STOPPING=1"); }

void StartupReport::failed(std::string const& text) {
    if (readiness_ != nullptr) readiness_->failed(text);
}

// Written whole under a fresh name in the same directory and renamed, so
// that a reader never sees half a pid and nothing at a name another user
// could have chosen is followed. Mode 0644 whatever the daemon's cleared
// umask.
void StartupReport::write_pid_file() {
    if (pid_directory_ == nullptr) return;
    std::string const text = std::to_string(::getpid()) + "\n";
    std::string temporary;
    int const fd = pid_directory_->create_temporary("." + pid_name_ + ".", 0644, temporary);
    bool const written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    if (fd >= 0) close_descriptor(fd);
    if (written && pid_directory_->rename(temporary, pid_name_) == 0) {
        pid_file_written_ = true;
        return;
    }
    if (written) error = errno;
    if (fd >= 0) pid_directory_->remove(temporary);
    LOG(ERROR) << "Unable to write the pid file " << pid_directory_->path_of(pid_name_) << ": " << error_string(error)
               << ".";
}

}  // namespace ts
}  // namespace orv
