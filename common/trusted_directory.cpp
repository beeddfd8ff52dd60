#include "common/trusted_directory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "common/exception.hpp"
#include "common/syscall.hpp"

namespace orv {

namespace {

// Fresh names tried before a call gives up with EEXIST.
int const NAME_ATTEMPTS = 16;

// Why a directory cannot be trusted; empty when it can.
std::string distrust(struct stat const& info, int fd) {
    if (!S_ISDIR(info.st_mode)) return "is not a directory";
    if (info.st_uid != 0 && info.st_uid != ::geteuid())
        return "belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if (info.st_mode & S_IWOTH) return "is writable by others";
    if (info.st_mode & S_IWGRP) return "is writable by its group";
    if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return "is not writable";
    return std::string();
}

void close_quietly(int fd) {
    int const error = errno;
    close_descriptor(fd);
    errno = error;
}

}  // namespace

TrustedDirectory::TrustedDirectory(std::string const& role, std::string const& path) : fd_(-1), path_(path) {
    std::string const subject = role + " " + path;
    fd_ = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    struct stat info;
    if (fd_ == -1 && errno == ENOTDIR) throw UntrustedDirectory(subject + " is not a directory.", 0);
    if (fd_ == -1 || ::fstat(fd_, &info) != 0) {
        int const error = errno;
        if (fd_ != -1) close_descriptor(fd_);
        throw UntrustedDirectory(subject + ": " + error_string(error) + ".", error);
    }
    std::string const reason = distrust(info, fd_);
    if (!reason.empty()) {
        close_descriptor(fd_);
        fd_ = -1;
        throw UntrustedDirectory(subject + " " + reason + ".", 0);
    }
}

TrustedDirectory::~TrustedDirectory() {
    if (fd_ != -1) close_descriptor(fd_);
}

TrustedDirectory::TrustedDirectory(TrustedDirectory&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

TrustedDirectory& TrustedDirectory::operator=(TrustedDirectory&& other) noexcept {
    if (this != &other) {
        if (fd_ != -1) close_descriptor(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

std::string TrustedDirectory::path_of(std::string const& name) const {
    return path_.empty() || path_.back() == '/' ? path_ + name : path_ + "/" + name;
}

std::string TrustedDirectory::at_path(std::string const& name) const {
    return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
}

// The file is ours alone: a regular file of the effective user that no
// other name reaches.
int TrustedDirectory::checked(int fd) const {
    if (fd == -1) return -1;
    struct stat info;
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        error = EINVAL;
    } else if (info.st_uid != ::geteuid()) {
        error = EPERM;
    } else if (info.st_nlink != 1) {
        error = EMLINK;
    }
    if (error == 0) return fd;
    close_descriptor(fd);
    errno = error;
    return -1;
}

int TrustedDirectory::create_file(std::string const& name, int flags, mode_t mode) const {
    int const options = flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    return checked(retry_eintr([&] { return ::openat(fd_, name.c_str(), options, mode); }));
}

// Opened without waiting, so that a FIFO at the name cannot hold the caller;
// a regular file then gets the caller's flags back.
int TrustedDirectory::open_file(std::string const& name, int flags) const {
    int const options = (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int const fd = checked(retry_eintr([&] { return ::openat(fd_, name.c_str(), options); }));
    if (fd != -1 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == -1) {
        close_quietly(fd);
        return -1;
    }
    return fd;
}

// An entry that vanishes between the two attempts is looked for again.
int TrustedDirectory::open_or_create_file(std::string const& name, int flags, mode_t mode) const {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        int const fd = open_file(name, flags);
        if (fd != -1 || errno != ENOENT) return fd;
        int const created = create_file(name, flags, mode);
        if (created != -1 || errno != EEXIST) return created;
    }
    return -1;
}

std::string TrustedDirectory::fresh_name(std::string const& prefix) const {
    unsigned long long bits = 0;
    if (::getrandom(&bits, sizeof(bits), GRND_NONBLOCK) != sizeof(bits)) {
        bits = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    char suffix[40];
    std::snprintf(suffix, sizeof(suffix), "%d.%016llx", static_cast<int>(::getpid()), bits);
    return prefix + suffix;
}

int TrustedDirectory::create_temporary(std::string const& prefix, mode_t mode, std::string& name) const {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::string const candidate = fresh_name(prefix);
        int const fd = create_file(candidate, O_WRONLY, mode);
        if (fd != -1) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int TrustedDirectory::rename(std::string const& from, std::string const& to) const {
    return ::renameat(fd_, from.c_str(), fd_, to.c_str());
}

int TrustedDirectory::replace_link(std::string const& name, std::string const& target) const {
    struct stat info;
    if (status(name, info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::string const temporary = fresh_name("." + name + ".");
        if (::symlinkat(target.c_str(), fd_, temporary.c_str()) != 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (rename(temporary, name) == 0) return 0;
        int const error = errno;
        ::unlinkat(fd_, temporary.c_str(), 0);
        errno = error;
        return -1;
    }
    return -1;
}

int TrustedDirectory::remove(std::string const& name) const { return ::unlinkat(fd_, name.c_str(), 0); }

int TrustedDirectory::status(std::string const& name, struct stat& info) const {
    return ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW);
}

// The listing reads a descriptor of its own: fdopendir takes over the one it
// is given, and a shared one would share its position between threads.
int TrustedDirectory::list(std::string const& prefix, std::set<std::string>& names) const {
    int const fd = retry_eintr([&] { return ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd == -1) return -1;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        close_quietly(fd);
        return -1;
    }
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string const entry_name = entry->d_name;
        if (entry_name.compare(0, prefix.size(), prefix) == 0) names.insert(entry_name);
    }
    int const error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0 ? 0 : -1;
}

}  // namespace orv
