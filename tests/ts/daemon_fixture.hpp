#ifndef ORV_TESTS_TS_DAEMON_FIXTURE_HPP
#define ORV_TESTS_TS_DAEMON_FIXTURE_HPP

#include <string>
#include <vector>

#include <sys/types.h>

namespace orv {
namespace test {

// Runs the real orv-task-service binary the way an operator would, inside a
// private mount namespace in which a temporary directory stands in for
// /var/log/orv, so the machine's own log directory is never touched. The
// test process makes itself a child subreaper, so the detached daemon (and
// any worker it leaves behind) is reparented to it and can be waited for.
class Daemon {
public:
    Daemon();
    ~Daemon();

    // Launches `orv-task-service SERVICE PORT WORKER ARGS...`; returns the
    // launcher's wait status.
    int launch(std::string const& service, std::vector<std::string> const& worker_command,
               std::vector<std::string> const& extra = {});
    // Launches and waits until the daemon answers on its port.
    void start(std::string const& service, std::vector<std::string> const& worker_command);

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string const& log_dir() const { return log_dir_; }

    // The daemon's pid from its capture-file link (0 while there is none).
    pid_t find_pid() const;
    // The newest capture of a stream ("stderr" or "stdout") of the service.
    std::string capture(std::string const& service, std::string const& stream) const;
    // All INFO log text so far.
    std::string info_log() const;
    // Waits until the INFO log contains text; false after timeout_ms.
    bool wait_for_log(std::string const& text, int timeout_ms = 10000) const;
    // How often text occurs in the INFO log.
    int count_in_log(std::string const& text) const;
    // The daemon's direct children (its workers).
    std::vector<pid_t> workers() const;
    // Sends a signal to the daemon and waits for it to exit; returns the wait
    // status, or -1 when it did not exit within timeout_ms.
    int stop(int signal, int timeout_ms = 20000);
    int wait_exit(int timeout_ms);

private:
    std::string log_dir_;
    int port_;
    pid_t pid_;
};

// One HTTP exchange over a fresh loopback connection: sends raw bytes and
// returns everything the server sent before closing (empty on timeout).
std::string http_exchange(int port, std::string const& raw, int timeout_ms = 20000);
std::string post(int port, std::string const& path, std::string const& body);
std::string post_request(std::string const& path, std::string const& body);
// A free loopback TCP port.
int free_port();
// Reads a whole file.
std::string read_file(std::string const& path);

}  // namespace test
}  // namespace orv

#endif
