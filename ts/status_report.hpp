#ifndef ORV_TS_STATUS_REPORT_HPP
#define ORV_TS_STATUS_REPORT_HPP

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "http/server_stats.hpp"
#include "ts/service_stats.hpp"

namespace orv {
namespace ts {

// The error statuses counted, in the order of StatusSnapshot::http_errors.
inline constexpr std::array<int, 6> HTTP_ERRORS = {400, 404, 405, 406, 411, 413};

// Everything the status listener reports, read at one moment.
struct StatusSnapshot {
    struct WorkerEntry {
        int number;
        pid_t pid;
        char const* state;
        std::uint64_t requests_served;
    };

    std::string version;
    std::string service;
    std::string group;
    pid_t pid = 0;
    double start_time = 0;  // seconds since the epoch
    double uptime = 0;      // seconds

    std::uint64_t idle = 0;
    std::uint64_t busy = 0;   // starting or serving a request
    std::uint64_t dying = 0;  // broken or ending
    std::uint64_t max_workers = 0;
    std::uint64_t connections_open = 0;
    // Of those: reading a request, waiting for a worker's answer (or
    // writing it), idle between requests.
    std::array<std::uint64_t, 3> connections{};
    // Requests that came on a connection kept open after an earlier one.
    std::uint64_t connections_reused = 0;

    std::array<std::uint64_t, OUTCOMES> requests{};
    // Error responses of the service port, by the statuses of HTTP_ERRORS.
    std::array<std::uint64_t, HTTP_ERRORS.size()> http_errors{};
    std::uint64_t worker_starts = 0;
    std::uint64_t worker_exits = 0;
    std::uint64_t worker_signals = 0;
    std::uint64_t connection_refusals = 0;

    // Requests at most as long as each bound of the service port's
    // ServerStats::BUCKETS_US, cumulative.
    std::array<std::uint64_t, net::http::ServerStats::BUCKETS_US.size()> duration_buckets{};
    std::uint64_t duration_count = 0;
    double duration_sum = 0;  // seconds

    std::vector<WorkerEntry> workers;
};

// The Prometheus text exposition (format 0.0.4) of the snapshot: every
// metric with its HELP and TYPE lines, histogram buckets cumulative.
std::string metrics_text(StatusSnapshot const& snapshot);

// The same numbers as one JSON object, with the names, the pid, the uptime
// and one entry per worker.
std::string status_json(StatusSnapshot const& snapshot);

}  // namespace ts
}  // namespace orv

#endif
