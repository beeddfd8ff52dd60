#ifndef ORV_TS_SERVICE_CONFIG_HPP
#define ORV_TS_SERVICE_CONFIG_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/deadlines.hpp"
#include "http/keep_alive.hpp"
#include "http/listen_address.hpp"
#include "http/trusted_proxies.hpp"
#include "ts/worker_identity.hpp"

namespace orv {
namespace ts {

class ServiceEvents;

// The periods the service runs by. The defaults are the product's; tests
// shorten them so that a whole stop sequence runs in milliseconds.
struct Timing {
    std::chrono::steady_clock::duration heartbeat = std::chrono::seconds(1);
    // A worker that was asked to end this long ago and is still there gets
    // SIGKILL instead of another SIGTERM.
    std::chrono::steady_clock::duration kill_escalation = std::chrono::seconds(10);
    net::http::Deadlines network;
};

// Everything a TaskService is built from.
struct ServiceConfig {
    std::string address = "0.0.0.0";
    // Where to listen; empty: on address and port.
    std::vector<net::http::ListenAddress> listen;
    int port = 0;
    std::string worker_program;
    std::vector<std::string> worker_args;
    // Balancing never shrinks the pool below min_workers; max_workers bounds
    // it (0: no bound of its own).
    std::uint64_t min_workers = 10;
    std::uint64_t max_workers = 100;
    std::string service_name;
    std::string group_name;
    // Open HTTP connections at once (0: no limit), and from one address
    // (0: no share).
    std::size_t max_connections = 1000;
    std::size_t max_connections_per_address = 0;
    // Persistent connections; off unless asked for.
    net::http::KeepAlive keep_alive;
    // Proxies whose word on the client is taken, and whether they must
    // send a PROXY protocol header.
    net::http::TrustedProxies trusted_proxies;
    bool require_proxy_header = false;
    // The status listener's address and port; no listener when empty.
    std::string status_address;
    int status_port = 0;
    // Event loops, one thread each; 0 picks one per two CPUs of the affinity
    // mask, 1 to 50.
    std::size_t threads = 0;
    // Longest reply a worker may announce (0: whatever the frame allows).
    std::uint32_t max_reply_size = 64u << 20;
    // A request not answered in this time gets 504 and its worker is killed;
    // zero: no limit.
    std::chrono::steady_clock::duration request_timeout = std::chrono::steady_clock::duration::zero();
    // A worker is replaced once it has answered max_requests plus its own
    // share of up to max_requests_jitter more requests (0: never), or once
    // its process group holds more than max_worker_memory bytes resident
    // (0: no limit).
    std::uint64_t max_requests = 0;
    std::uint64_t max_requests_jitter = 0;
    std::uint64_t max_worker_memory = 0;
    // When no worker can be had, up to `queue` requests wait for one, each
    // for at most queue_timeout (0: none wait).
    std::size_t queue = 0;
    std::chrono::steady_clock::duration queue_timeout = std::chrono::seconds(1);
    // The logging library's files older than this many days are removed,
    // at start and then every hour (0: kept).
    unsigned log_keep_days = 7;
    // Who the worker processes run as (by default, as the daemon).
    WorkerIdentity worker_identity;
    Timing timing;
    // Told about the service's milestones; may be null. Must outlive the
    // service.
    ServiceEvents* events = nullptr;
};

}  // namespace ts
}  // namespace orv

#endif
