#ifndef ORV_HTTP_SERVER_STATS_HPP
#define ORV_HTTP_SERVER_STATS_HPP

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orv {
namespace net {
namespace http {

// What an HTTP server counts as it goes: responses by status, connections
// refused at the limit, and how long requests took from their request line
// to the last byte of the response. Connections bump these with relaxed
// atomics only: no lock and no allocation on the request path.
class ServerStats {
public:
    // The statuses the server and its handlers answer with; any other
    // counts as 0.
    static constexpr std::array<int, 10> STATUSES = {200, 400, 404, 405, 406, 411, 413, 500, 503, 504};

    // Upper bounds of the duration buckets, in microseconds: 0.5 ms to 10 s.
    static constexpr std::array<std::uint64_t, 14> BUCKETS_US = {500,    1000,    2500,    5000,   10000,
                                                                 25000,  50000,   100000,  250000, 500000,
                                                                 1000000, 2500000, 5000000, 10000000};

    void response(int status, std::chrono::steady_clock::duration took);
    void refused() { refused_.fetch_add(1, std::memory_order_relaxed); }
    // A request arrived on a connection kept open after an earlier one.
    void reused() { reused_.fetch_add(1, std::memory_order_relaxed); }

    // Responses with this status; 0 asks for those with none of STATUSES.
    std::uint64_t responses(int status) const;
    std::uint64_t refusals() const { return refused_.load(std::memory_order_relaxed); }
    std::uint64_t reuses() const { return reused_.load(std::memory_order_relaxed); }
    // Requests at most as long as each bucket's bound, cumulative.
    std::array<std::uint64_t, BUCKETS_US.size()> cumulative_buckets() const;
    std::uint64_t duration_count() const { return count_.load(std::memory_order_relaxed); }
    std::uint64_t duration_sum_us() const { return sum_us_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> statuses_[STATUSES.size() + 1] = {};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> reused_{0};
    // Per bucket (not cumulative), the last one for beyond 10 s.
    std::atomic<std::uint64_t> buckets_[BUCKETS_US.size() + 1] = {};
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> sum_us_{0};
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
