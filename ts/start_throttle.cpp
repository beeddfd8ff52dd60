#include "ts/start_throttle.hpp"

#include <algorithm>

namespace orv {
namespace ts {

namespace {
StartThrottle::Clock::duration const FIRST_PAUSE = std::chrono::seconds(1);
StartThrottle::Clock::duration const LONGEST_PAUSE = std::chrono::seconds(30);
}  // namespace

bool StartThrottle::died_early(Clock::time_point now) {
    if (paused(now) || ++deaths_ < limit_) return false;
    deaths_ = 0;
    pause_ = pause_ == Clock::duration::zero() ? FIRST_PAUSE : std::min(pause_ * 2, LONGEST_PAUSE);
    paused_until_ = now + pause_;
    return true;
}

void StartThrottle::answered() {
    deaths_ = 0;
    pause_ = Clock::duration::zero();
    paused_until_ = Clock::time_point();
}

}  // namespace ts
}  // namespace orv
