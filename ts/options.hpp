#ifndef ORV_TS_OPTIONS_HPP
#define ORV_TS_OPTIONS_HPP

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "ts/worker_identity.hpp"

namespace orv {
namespace ts {

// A command line the program refuses: the text is the one line it prints on
// standard error before it exits with status 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(std::string const& text) : std::runtime_error(text) {}
};

// orv-task-service [OPTION...] SERVICE[/GROUP] PORT WORKER-PROGRAM [WORKER-ARG...]
//
// Options come only before SERVICE ("--" ends them), so worker arguments
// that look like options reach the worker. Without options the program is
// the designed one: every default below is the designed value.
struct Options {
    bool help = false;
    bool version = false;
    bool foreground = false;
    bool log_to_stderr = false;
    // TCP addresses to listen on with PORT, and UNIX socket files.
    std::vector<std::string> listen;
    std::vector<std::string> listen_sockets;
    unsigned socket_mode = 0660;
    std::string socket_group;  // empty: the daemon's
    gid_t socket_gid = static_cast<gid_t>(-1);
    // Listening sockets the service manager passed (LISTEN_FDS); they
    // replace every --listen.
    std::vector<int> activated;
    // --trust-proxy values, checked; --proxy-protocol.
    std::vector<std::string> trust_proxy;
    bool proxy_protocol = false;
    std::string log_dir = "/var/log/orv";
    std::string pid_file;
    std::uint64_t min_workers = 10;
    std::uint64_t max_workers = 100;
    std::size_t max_connections = 1000;
    std::size_t max_connections_per_address = 0;  // 0: no share
    std::size_t threads = 0;  // 0: one per two CPUs of the affinity mask, 1 to 50
    unsigned log_keep_days = 7;
    std::uint32_t max_reply_size = 64u << 20;
    unsigned request_timeout = 0;  // seconds; 0: none
    unsigned keep_alive = 0;       // seconds a connection may stay idle; 0: one request per connection
    unsigned keep_alive_requests = 1000;
    std::uint64_t max_requests = 0;  // 0: workers are never replaced for their request count
    std::uint64_t max_requests_jitter = 0;
    std::uint64_t max_worker_memory = 0;  // MiB; 0: no limit
    std::size_t queue = 0;                // 0: no request waits
    unsigned queue_timeout = 1000;        // milliseconds
    std::string status_address;    // empty: no status listener
    int status_port = 0;
    std::string worker_user;   // empty: the workers run as the daemon does
    std::string worker_group;  // empty: the user's group, or the daemon's
    WorkerIdentity worker_identity;  // what check_paths resolved them to

    std::string service;
    std::string group;
    int port = 0;
    std::string worker_program;
    std::vector<std::string> worker_args;
};

// Reads the command line. Throws UsageError for anything it refuses; a
// request for help or the version needs no positional arguments.
Options parse_options(int argc, char const* const* argv);

// The text of --help.
std::string usage();

// Checks, before anything is forked, what would otherwise fail only inside
// the daemon: the worker program (made absolute against the starting
// directory) must be an executable regular file, and --user and --group
// must name a user and a group. The log directory and pid file paths are
// made absolute; the directories themselves are checked when they are
// opened (see TrustedDirectory). Throws UsageError naming the path or the
// value and the reason.
void check_paths(Options& options);

}  // namespace ts
}  // namespace orv

#endif
