#include "common/logging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/repeat_filter.hpp"
#include "common/syscall.hpp"
#include "common/trusted_directory.hpp"

namespace orv {
namespace logging {

char const LOG_DIR[] = "/var/log/orv";

namespace {

int const KEPT_CAPTURE_FILES = 3;
// Identical records written per second before the rest are summarised.
std::size_t const REPEATS_PER_SECOND = 10;

// What init was given; reopen_captures needs it again. Every file made
// here is made through the directory's descriptor; only the logging
// library is given its path.
std::string service_name;
std::unique_ptr<TrustedDirectory> log_dir;
// The filters in front of the INFO and ERROR files, owned by the library.
std::vector<RepeatFilter*> repeat_filters;

std::string get_base_name(std::string const& name, std::string const& suffix) {
    return name + "." + suffix;
}

std::string join(std::string const& directory, std::string const& name) {
    return (boost::filesystem::path(directory) / name).string();
}

// YYYYMMDD-HHMMSS.PID in local time, taken once so both streams share it.
std::string time_stamp() {
    std::time_t const now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[64];
    std::snprintf(text, sizeof(text), "%d%02d%02d-%02d%02d%02d.%d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(::getpid()));
    return text;
}

void report(std::string const& text) { std::cerr << text << std::endl; }

void close_log_fd(int fd) {
    if (close_descriptor(fd) == -1) {
        report("Unable to close a log file: " + error_string(errno) + ".");
    }
}

// The regular files in the log directory whose names begin with prefix,
// ascending in byte order. Anything else of such a name (a link left there,
// say, named for a year to come) neither counts nor goes: it could
// otherwise push the files in use out of the three that are kept.
std::set<std::string> list_capture_files(std::string const& prefix) {
    std::set<std::string> names;
    if (log_dir->list(prefix, names) != 0) throw Exception(error_string(errno));
    for (auto it = names.begin(); it != names.end();) {
        struct stat info;
        bool const regular = log_dir->status(*it, info) == 0 && S_ISREG(info.st_mode);
        it = regular ? std::next(it) : names.erase(it);
    }
    return names;
}

// Removes all but the newest capture files of one stream. The names sort by
// their time stamp, so the greatest ones are the newest.
void rotate(std::string const& stream, std::string const& prefix) {
    try {
        std::set<std::string> const names = list_capture_files(prefix);
        std::size_t excess = names.size() > KEPT_CAPTURE_FILES ? names.size() - KEPT_CAPTURE_FILES : 0;
        for (auto it = names.begin(); excess > 0; ++it, --excess) {
            if (log_dir->remove(*it) == -1) {
                report("Failed to remove log file " + log_dir->path_of(*it) + ": " + error_string(errno) + ".");
            }
        }
    } catch (std::exception const& e) {
        report("Failed to rotate log files for " + stream + ". Error while reading directory " +
               log_dir->path() + ": " + e.what() + ".");
    }
}

// A capture file is always new: created exclusively, never through a link.
// Only a second reopening within the same second finds its name taken, by
// the file that the first one made, which is then used again.
int open_capture_file(std::string const& file_name) {
    int fd = log_dir->create_file(file_name, O_WRONLY | O_APPEND, 0640);
    if (fd == -1 && errno == EEXIST) fd = log_dir->open_file(file_name, O_WRONLY | O_APPEND);
    return fd;
}

void capture(std::string const& name, std::string const& stream, int target_fd,
             std::string const& stamp) {
    std::string const link_name = get_base_name(name, stream) + ".log";
    std::string const link_path = log_dir->path_of(link_name);
    std::string const file_name = link_name + "." + stamp;
    std::string const file_path = log_dir->path_of(file_name);

    int const fd = open_capture_file(file_name);
    if (fd == -1) throw Exception("Unable to open log file %1%: %2%.", file_path, error_string(errno));
    if (retry_eintr([&] { return ::dup2(fd, target_fd); }) == -1) {
        int const error = errno;
        close_log_fd(fd);
        throw Exception("Unable to duplicate a file descriptor: %1%.", error_string(error));
    }
    close_log_fd(fd);

    // The link is replaced in one step; only a directory in its place
    // cannot be.
    if (log_dir->replace_link(link_name, file_path) == -1) {
        if (errno == EISDIR) {
            report("Unable to delete file '" + link_path + "': " + error_string(errno) + ".");
        } else {
            report("Unable to create a symbolic link '" + link_path + "' to '" + file_path + "': " +
                   error_string(errno) + ".");
        }
    }

    rotate(stream, link_name + ".");
}

void start_library(std::string const& name) {
    // The library keeps a pointer to the name it is given.
    static std::string program_name;
    program_name = name;
    google::InitGoogleLogging(program_name.c_str());
    google::InstallFailureSignalHandler();
}

// The library opens its files by path, with O_EXCL (a planted link at a
// name it picks makes it skip that file, not write through it) and moves
// its links with unlink and symlink; that a trusted directory admits no
// other user's entries covers the rest.
void configure_library(std::string const& name) {
    std::string const directory = log_dir->path();
    FLAGS_log_dir = directory;
    FLAGS_alsologtostderr = false;
    FLAGS_stderrthreshold = google::GLOG_FATAL;
    google::SetLogFilenameExtension(".log.");
    google::SetLogDestination(google::GLOG_INFO, join(directory, get_base_name(name, "info")).c_str());
    google::SetLogSymlink(google::GLOG_INFO, name.c_str());
    google::SetLogDestination(google::GLOG_WARNING, "");
    google::SetLogDestination(google::GLOG_ERROR, join(directory, get_base_name(name, "error")).c_str());
    google::SetLogSymlink(google::GLOG_ERROR, name.c_str());
    google::SetLogDestination(google::GLOG_FATAL, "");
    FLAGS_logbufsecs = 0;
    FLAGS_logbuflevel = -1;
    FLAGS_max_log_size = 20;
    // Like the capture files, whatever the daemon's cleared umask.
    FLAGS_logfile_mode = 0640;
    start_library(name);
    for (google::LogSeverity severity : {google::GLOG_INFO, google::GLOG_ERROR}) {
        repeat_filters.push_back(new RepeatFilter(google::base::GetLogger(severity), REPEATS_PER_SECOND));
        google::base::SetLogger(severity, repeat_filters.back());
    }
}

}  // namespace

void init(std::string const& name, std::string const& directory) {
    std::unique_ptr<TrustedDirectory> opened;
    try {
        opened.reset(new TrustedDirectory("Log directory", directory));
    } catch (UntrustedDirectory const& e) {
        // A directory that cannot be opened fails on its first capture file,
        // as it always has.
        if (e.error() == 0) throw Exception(e.what());
        throw Exception("Unable to open log file %1%: %2%.",
                        join(directory, get_base_name(name, "stderr") + ".log." + time_stamp()),
                        error_string(e.error()));
    }
    init(name, std::move(*opened));
}

void init(std::string const& name, TrustedDirectory directory) {
    service_name = name;
    log_dir.reset(new TrustedDirectory(std::move(directory)));
    std::string const stamp = time_stamp();
    capture(name, "stderr", STDERR_FILENO, stamp);
    capture(name, "stdout", STDOUT_FILENO, stamp);
    configure_library(name);
}

void init_to_stderr(std::string const& name) {
    FLAGS_logtostderr = true;
    FLAGS_logbufsecs = 0;
    FLAGS_logbuflevel = -1;
    start_library(name);
}

bool reopen_captures() {
    if (service_name.empty()) return false;
    std::string const stamp = time_stamp();
    capture(service_name, "stderr", STDERR_FILENO, stamp);
    capture(service_name, "stdout", STDOUT_FILENO, stamp);
    return true;
}

void flush_repeats() {
    std::time_t const now = std::time(nullptr);
    for (RepeatFilter* filter : repeat_filters) filter->flush_repeats(now);
}

// The library names its files NAME.info<stamp>... and NAME.error<stamp>...
// and never removes them; those older than the given age go. The files the
// links point to are written now and so are never that old.
void remove_overdue_logs(unsigned days) {
    if (service_name.empty() || days == 0) return;
    std::time_t const cutoff = std::time(nullptr) - static_cast<std::time_t>(days) * 24 * 3600;
    for (std::string const& prefix : {get_base_name(service_name, "info"), get_base_name(service_name, "error")}) {
        std::set<std::string> names;
        try {
            names = list_capture_files(prefix);
        } catch (std::exception const&) {
            return;
        }
        for (std::string const& name : names) {
            struct stat info;
            if (log_dir->status(name, info) == 0 && info.st_mtime < cutoff) {
                log_dir->remove(name);
            }
        }
    }
}

void shutdown() {
    flush_repeats();
    google::ShutdownGoogleLogging();
}

}  // namespace logging
}  // namespace orv
