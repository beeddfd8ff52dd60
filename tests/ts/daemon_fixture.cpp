#include "tests/ts/daemon_fixture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>

#include "documents.hpp"
#include "eventually.hpp"
#include "raw_client.hpp"

namespace orv {
namespace test {

namespace {

char const DAEMON_BIN[] = ORV_TASK_SERVICE_BIN;
int const START_ATTEMPTS = 5;

std::vector<std::string> list_dir(std::string const& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) names.push_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

bool is_regular(std::string const& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

Daemon::Daemon() : port_(0), pid_(0), err_fd_(-1) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    char pattern[] = "/tmp/orv-daemon-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    log_dir_ = pattern;
}

Daemon::Daemon(std::vector<std::string> const& worker, std::vector<std::string> const& options) : Daemon() {
    start(worker, options);
}

// Whatever the test left running ends here: the daemon and its workers.
Daemon::~Daemon() {
    std::vector<pid_t> const children = workers();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait_exit(5000);
    }
    for (pid_t child : children) ::kill(child, SIGKILL);
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    if (err_fd_ >= 0) ::close(err_fd_);
    // ORV_KEEP_LOGS keeps the daemon's logs for a look after the test.
    std::error_code ignored;
    if (std::getenv("ORV_KEEP_LOGS") == nullptr) std::filesystem::remove_all(log_dir_, ignored);
}

void Daemon::start(std::vector<std::string> const& worker, std::vector<std::string> const& options,
                   std::string const& service, std::vector<std::string> const& env) {
    bool foreground = false;
    for (auto const& option : options) foreground = foreground || option == "--foreground" || option == "-f";
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        port_ = free_port();
        std::vector<std::string> args = {DAEMON_BIN, "--log-dir", log_dir_, "--pid-file", log_dir_ + "/pid"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(service);
        args.push_back(std::to_string(port_));
        args.insert(args.end(), worker.begin(), worker.end());
        if (try_start(args, foreground, env)) return;
    }
    throw std::runtime_error("the daemon did not start");
}

// True once the daemon listens; false when the chosen port was taken.
bool Daemon::try_start(std::vector<std::string> const& args, bool foreground, std::vector<std::string> const& env) {
    std::string const pid_file = log_dir_ + "/pid";
    if (!foreground) {
        ProgramRun const launcher = run_program(args, env);
        if (launcher.exit_code() == 1 && launcher.err.find("bind: Address already in use") != std::string::npos)
            return false;
        if (launcher.exit_code() != 0) throw std::runtime_error("launcher failed: " + launcher.err);
        pid_ = static_cast<pid_t>(std::atoi(read_file(pid_file).c_str()));
        return true;
    }
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(err[1], 2);
        std::vector<std::string> words = args;
        for (auto const& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        ::execv(DAEMON_BIN, argv.data());
        ::_exit(127);
    }
    ::close(err[1]);
    if (err_fd_ >= 0) ::close(err_fd_);
    err_fd_ = err[0];
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    int status = 0;
    bool exited = false;
    eventually([&] {
        exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
        return exited || is_regular(pid_file);
    });
    if (!exited) return true;
    pid_ = 0;
    if (info_log().find("bind: Address already in use") != std::string::npos) return false;
    throw std::runtime_error("the foreground daemon exited: " + foreground_err());
}

std::string Daemon::foreground_err() const {
    std::string text;
    char chunk[4096];
    for (ssize_t got; err_fd_ >= 0 && (got = ::read(err_fd_, chunk, sizeof(chunk))) > 0;) text.append(chunk, got);
    return text;
}

std::string Daemon::info_log() const {
    std::string text;
    for (auto const& name : list_dir(log_dir_)) {
        std::string const path = log_dir_ + "/" + name;
        if (name.find(".info") != std::string::npos && is_regular(path)) text += read_file(path);
    }
    return text;
}

bool Daemon::wait_for_log(std::string const& text, int timeout_ms) const {
    return eventually([&] { return info_log().find(text) != std::string::npos; },
                      std::chrono::milliseconds(timeout_ms));
}

int Daemon::count_in_log(std::string const& text) const {
    std::string const log = info_log();
    int count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

std::vector<pid_t> Daemon::workers() const {
    std::vector<pid_t> children;
    if (pid_ <= 0) return children;
    for (auto const& task : list_dir("/proc/" + std::to_string(pid_) + "/task")) {
        std::istringstream list(read_file("/proc/" + std::to_string(pid_) + "/task/" + task + "/children"));
        for (pid_t child; list >> child;) children.push_back(child);
    }
    return children;
}

int Daemon::stop(int signal, int timeout_ms) {
    ::kill(pid_, signal);
    return wait_exit(timeout_ms);
}

int Daemon::wait_exit(int timeout_ms) {
    int status = -1;
    bool const done = eventually(
        [&] {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
            status = raw;
            return true;
        },
        std::chrono::milliseconds(timeout_ms));
    if (done) pid_ = 0;  // reaped: the destructor leaves it alone
    return done ? status : -1;
}

std::string post(int port, std::string const& path, std::string const& body) {
    return round_trip(static_cast<unsigned short>(port), http_request("POST", path, body));
}

bool reachable(char const* address, int port) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address(address), static_cast<unsigned short>(port)}, error);
    return !error;
}

ProgramRun launch(std::vector<std::string> const& args) {
    std::vector<std::string> argv = {DAEMON_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

std::string capture_target(std::string const& log_dir) {
    char target[512] = {};
    ssize_t const size = ::readlink((log_dir + "/svc.stderr.log").c_str(), target, sizeof(target) - 1);
    return size > 0 ? target : "";
}

int free_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor const probe(io, {boost::asio::ip::address_v4::loopback(), 0}, false);
    return probe.local_endpoint().port();
}

}  // namespace test
}  // namespace orv
