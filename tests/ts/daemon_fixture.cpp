#include "tests/ts/daemon_fixture.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orv {
namespace test {

namespace {

char const DAEMON_BIN[] = ORV_TASK_SERVICE_BIN;

bool poll_until(int timeout_ms, std::function<bool()> const& condition) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> list_dir(std::string const& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) names.push_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

int connect_loopback(int port) {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The mount namespace set-up of the launched process: a tmpfs over /var/log
// hides the machine's logs (in this namespace only), and the test's own
// directory is bound to /var/log/orv inside it.
void enter_private_log_dir(std::string const& log_dir) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/var/log", "tmpfs", 0, nullptr) != 0 || ::mkdir("/var/log/orv", 0755) != 0 ||
        ::mount(log_dir.c_str(), "/var/log/orv", nullptr, MS_BIND, nullptr) != 0) {
        std::perror("private log directory");
        ::_exit(120);
    }
}

}  // namespace

Daemon::Daemon() : port_(free_port()), pid_(0) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    char pattern[] = "/tmp/orv-daemon-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    log_dir_ = pattern;
}

Daemon::~Daemon() {
    // Whatever the test left running is ended here: the daemon and its workers.
    std::vector<pid_t> children = workers();
    if (pid_ > 0 && ::kill(pid_, 0) == 0) {
        ::kill(pid_, SIGKILL);
        wait_exit(5000);
    }
    for (pid_t child : children) ::kill(child, SIGKILL);
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    // ORV_KEEP_LOGS keeps the daemon's logs for a look after the test.
    if (std::getenv("ORV_KEEP_LOGS") == nullptr) std::system(("rm -rf " + log_dir_).c_str());
}

int Daemon::launch(std::string const& service, std::vector<std::string> const& worker_command,
                   std::vector<std::string> const& extra) {
    std::vector<std::string> args = {DAEMON_BIN, service, std::to_string(port_)};
    args.insert(args.end(), worker_command.begin(), worker_command.end());
    args.insert(args.end(), extra.begin(), extra.end());
    pid_t const launcher = ::fork();
    if (launcher == 0) {
        enter_private_log_dir(log_dir_);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        ::execv(DAEMON_BIN, argv.data());
        ::_exit(121);
    }
    int status = 0;
    ::waitpid(launcher, &status, 0);
    return status;
}

void Daemon::start(std::string const& service, std::vector<std::string> const& worker_command) {
    int const status = launch(service, worker_command);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("launcher failed");
    if (!poll_until(10000, [this] { return (pid_ = find_pid()) != 0; })) {
        throw std::runtime_error("no daemon pid");
    }
    bool const up = poll_until(10000, [this] {
        int const fd = connect_loopback(port_);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    });
    if (!up) throw std::runtime_error("daemon does not listen");
}

pid_t Daemon::find_pid() const {
    for (auto const& name : list_dir(log_dir_)) {
        if (name.size() < 11 || name.compare(name.size() - 11, 11, ".stderr.log") != 0) continue;
        char target[512] = {};
        if (::readlink((log_dir_ + "/" + name).c_str(), target, sizeof(target) - 1) <= 0) continue;
        char const* dot = std::strrchr(target, '.');
        return dot != nullptr ? static_cast<pid_t>(std::atoi(dot + 1)) : 0;
    }
    return 0;
}

// The link names the file by its path inside the daemon's namespace; the
// same name sits in the test's directory.
std::string Daemon::capture(std::string const& service, std::string const& stream) const {
    char target[512] = {};
    std::string const link = log_dir_ + "/" + service + "." + stream + ".log";
    if (::readlink(link.c_str(), target, sizeof(target) - 1) <= 0) return std::string();
    char const* name = std::strrchr(target, '/');
    return read_file(log_dir_ + "/" + (name != nullptr ? name + 1 : target));
}

std::string Daemon::info_log() const {
    std::string text;
    for (auto const& name : list_dir(log_dir_)) {
        struct stat info;
        std::string const path = log_dir_ + "/" + name;
        if (name.find(".info") != std::string::npos && ::lstat(path.c_str(), &info) == 0 &&
            S_ISREG(info.st_mode)) {
            text += read_file(path);
        }
    }
    return text;
}

bool Daemon::wait_for_log(std::string const& text, int timeout_ms) const {
    return poll_until(timeout_ms, [&] { return info_log().find(text) != std::string::npos; });
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
    for (auto const& name : list_dir("/proc")) {
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string const stat = read_file("/proc/" + name + "/stat");
        std::string::size_type const end_of_name = stat.rfind(')');
        if (end_of_name == std::string::npos) continue;
        std::istringstream fields(stat.substr(end_of_name + 1));
        std::string state;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent == pid_) children.push_back(static_cast<pid_t>(std::atoi(name.c_str())));
    }
    return children;
}

int Daemon::stop(int signal, int timeout_ms) {
    ::kill(pid_, signal);
    return wait_exit(timeout_ms);
}

int Daemon::wait_exit(int timeout_ms) {
    int status = -1;
    bool const done = poll_until(timeout_ms, [&] {
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
        status = raw;
        return true;
    });
    if (done) pid_ = -pid_;  // reaped: the destructor leaves it alone
    return done ? status : -1;
}

std::string http_exchange(int port, std::string const& raw, int timeout_ms) {
    int const fd = connect_loopback(port);
    if (fd < 0) return std::string();
    ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string reply;
    char chunk[65536];
    pollfd waiting{fd, POLLIN, 0};
    while (::poll(&waiting, 1, timeout_ms) == 1) {
        ssize_t const n = ::read(fd, chunk, sizeof(chunk));
        if (n <= 0) break;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

std::string post_request(std::string const& path, std::string const& body) {
    return "POST " + path + " HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string post(int port, std::string const& path, std::string const& body) {
    return http_exchange(port, post_request(path, body));
}

int free_port() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string read_file(std::string const& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace test
}  // namespace orv
