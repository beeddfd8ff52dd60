#include "http/server_stats.hpp"

#include <algorithm>

namespace orv {
namespace net {
namespace http {

namespace {

// The slot of a status; the last one holds every other status.
std::size_t status_slot(int status) {
    auto const found = std::find(ServerStats::STATUSES.begin(), ServerStats::STATUSES.end(), status);
    return static_cast<std::size_t>(found - ServerStats::STATUSES.begin());
}

}  // namespace

void ServerStats::response(int status, std::chrono::steady_clock::duration took) {
    statuses_[status_slot(status)].fetch_add(1, std::memory_order_relaxed);
    std::uint64_t const us = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    std::size_t const bucket =
        static_cast<std::size_t>(std::lower_bound(BUCKETS_US.begin(), BUCKETS_US.end(), us) - BUCKETS_US.begin());
    buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    sum_us_.fetch_add(us, std::memory_order_relaxed);
}

std::uint64_t ServerStats::responses(int status) const {
    std::size_t const slot = status_slot(status);
    if (slot == STATUSES.size() && status != 0) return 0;
    return statuses_[slot].load(std::memory_order_relaxed);
}

std::array<std::uint64_t, ServerStats::BUCKETS_US.size()> ServerStats::cumulative_buckets() const {
    std::array<std::uint64_t, BUCKETS_US.size()> out{};
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        running += buckets_[i].load(std::memory_order_relaxed);
        out[i] = running;
    }
    return out;
}

}  // namespace http
}  // namespace net
}  // namespace orv
