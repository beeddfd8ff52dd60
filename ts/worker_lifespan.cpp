#include "ts/worker_lifespan.hpp"

#include <algorithm>
#include <cmath>

namespace orv {
namespace ts {

namespace {
// The fractional part of the golden ratio: the step whose multiples leave
// the most even gaps on a circle.
double const GOLDEN_STEP = 0.6180339887498949;
}  // namespace

WorkerLifespan::WorkerLifespan(std::uint64_t requests, std::uint64_t jitter, double start)
    : requests_(requests), jitter_(jitter), spot_(start - std::floor(start)) {}

std::uint64_t WorkerLifespan::next() {
    if (requests_ == 0) return 0;
    double const spot = spot_;
    spot_ += GOLDEN_STEP;
    if (spot_ >= 1.0) spot_ -= 1.0;
    std::uint64_t const extra = static_cast<std::uint64_t>(spot * (static_cast<double>(jitter_) + 1.0));
    return requests_ + std::min(extra, jitter_);
}

}  // namespace ts
}  // namespace orv
