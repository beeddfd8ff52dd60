#ifndef ORV_TS_SERVICE_STATS_HPP
#define ORV_TS_SERVICE_STATS_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {
namespace ts {

// How each request handed to the service ended, one counter per distinct
// answer; the request path bumps them with relaxed atomics and nothing else.
enum class Outcome {
    ok,                // the worker's reply, 200
    frame_refused,     // action or body too long for a frame: the error document
    refused_stopping,  // no idle worker while stopping: 503
    no_worker,         // the worker limit reached: 503
    start_failed,      // a worker could not be started: 503
    crash_loop,        // starts paused after workers kept dying: 503
    worker_failed,     // the channel failed: 503
    reply_too_big,     // the worker announced more than the limit: 503
    timeout,           // no reply within the request timeout: 504
};
std::size_t const OUTCOMES = 9;

// Why no worker could be had for a request, and how its client is told:
// a rejection is logged at INFO as "has been rejected", a failure at ERROR.
struct Refusal {
    Outcome outcome = Outcome::no_worker;
    std::string text;
    bool rejected = false;
};

// The label of each outcome, as the metrics name it.
char const* outcome_name(Outcome outcome);

struct ServiceStats {
    std::atomic<std::uint64_t> requests[OUTCOMES] = {};
    std::atomic<std::uint64_t> worker_starts{0};
    std::atomic<std::uint64_t> worker_exits{0};    // ended by exit()
    std::atomic<std::uint64_t> worker_signals{0};  // ended by a signal
    // Requests that waited for a worker and got none in time, that found
    // the queue full, and whose client left while they waited.
    std::atomic<std::uint64_t> queue_timeouts{0};
    std::atomic<std::uint64_t> queue_overflows{0};
    std::atomic<std::uint64_t> queue_abandoned{0};

    void count(Outcome outcome) { requests[static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t total(Outcome outcome) const {
        return requests[static_cast<std::size_t>(outcome)].load(std::memory_order_relaxed);
    }
};

}  // namespace ts
}  // namespace orv

#endif
