#include "ts/startup_report.hpp"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/readiness.hpp"
#include "common/syscall.hpp"

namespace orv {
namespace ts {

namespace {

// sd_notify does nothing (and returns 0) unless NOTIFY_SOCKET is set.
void notify(std::string const& state) { ::sd_notify(0, state.c_str()); }

}  // namespace

StartupReport::StartupReport(daemon::Readiness* readiness, std::string const& pid_file)
    : readiness_(readiness), pid_file_(pid_file), pid_file_written_(false) {}

// The pid file goes only if it still names this process: a daemon started
// after this one may have taken the path over.
StartupReport::~StartupReport() {
    if (!pid_file_written_) return;
    std::ifstream file(pid_file_);
    pid_t pid = 0;
    if (file >> pid && pid == ::getpid()) ::unlink(pid_file_.c_str());
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

// Written whole under a temporary name and renamed, so that a reader never
// sees half a pid. Mode 0644 whatever the daemon's cleared umask.
void StartupReport::write_pid_file() {
    if (pid_file_.empty()) return;
    std::string const temporary = pid_file_ + ".new";
    std::string const text = std::to_string(::getpid()) + "\n";
    int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool const written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int const error = errno;
    if (fd >= 0) close_descriptor(fd);
    if (!written) {
        LOG(ERROR) << "Unable to write the pid file " << temporary << ": " << error_string(error) << ".";
        return;
    }
    if (::rename(temporary.c_str(), pid_file_.c_str()) == -1) {
        LOG(ERROR) << "Unable to write the pid file " << pid_file_ << ": " << error_string(errno) << ".";
        ::unlink(temporary.c_str());
        return;
    }
    pid_file_written_ = true;
}

}  // namespace ts
}  // namespace orv
