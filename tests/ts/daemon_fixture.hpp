#ifndef ORV_TESTS_TS_DAEMON_FIXTURE_HPP
#define ORV_TESTS_TS_DAEMON_FIXTURE_HPP

#include <sys/types.h>

#include <string>
#include <vector>

#include "run_program.hpp"

namespace orv {
namespace test {

// The real orv-task-service, run as an operator would, with its log files in
// a temporary directory of its own (--log-dir), so the machine's own
// /var/log/orv is never touched. The test process is a child subreaper: a
// detached daemon (and any worker it leaves behind) is reparented to it and
// is reaped by it.
class Daemon {
public:
    Daemon();
    // A daemon started at once, as start() starts it.
    explicit Daemon(std::vector<std::string> const& worker, std::vector<std::string> const& options = {});
    ~Daemon();

    // Starts `orv-task-service --log-dir DIR --pid-file DIR/pid OPTIONS...
    // SERVICE PORT WORKER...` detached, or in the foreground when the options
    // say so, and returns once it listens. A port taken by someone else
    // between choosing it and binding it is replaced by another.
    void start(std::vector<std::string> const& worker, std::vector<std::string> const& options = {},
               std::string const& service = "svc", std::vector<std::string> const& env = {});

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string const& log_dir() const { return log_dir_; }
    // What a foreground daemon printed on standard error so far.
    std::string foreground_err() const;

    // Every INFO record so far, and waits on it.
    std::string info_log() const;
    bool wait_for_log(std::string const& text, int timeout_ms = 10000) const;
    int count_in_log(std::string const& text) const;
    // The daemon's children: its workers.
    std::vector<pid_t> workers() const;

    // Signals the daemon and waits for it to exit; the wait status, or -1
    // when it did not exit in time.
    int stop(int signal, int timeout_ms = 20000);
    int wait_exit(int timeout_ms);

private:
    bool try_start(std::vector<std::string> const& args, bool foreground, std::vector<std::string> const& env);

    std::string log_dir_;
    int port_;
    pid_t pid_;
    int err_fd_;  // read end of a foreground daemon's standard error
};

// The test worker with these behaviour words.
inline std::vector<std::string> worker(std::vector<std::string> behaviour = {}) {
    behaviour.insert(behaviour.begin(), TEST_WORKER_BIN);
    return behaviour;
}

// One HTTP exchange on a fresh loopback connection: everything the server
// sent before it closed the connection.
std::string post(int port, std::string const& path, std::string const& body);
// A loopback TCP port that was free a moment ago.
int free_port();
// Whether a TCP connection to the address and port is accepted.
bool reachable(char const* address, int port);
// orv-task-service with these arguments, run to its end (a refused start).
ProgramRun launch(std::vector<std::string> const& args);
// What a response carries after its head; "" without a head.
inline std::string body_of(std::string const& response) {
    std::string::size_type const head = response.find("\r\n\r\n");
    return head == std::string::npos ? "" : response.substr(head + 4);
}
// The target of the daemon's standard error capture link in the directory.
std::string capture_target(std::string const& log_dir);

}  // namespace test
}  // namespace orv

#endif
