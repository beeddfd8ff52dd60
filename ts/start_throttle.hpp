#ifndef ORV_TS_START_THROTTLE_HPP
#define ORV_TS_START_THROTTLE_HPP

#include <chrono>
#include <cstdint>

namespace orv {
namespace ts {

// Decides when to stop starting workers whose program keeps dying before it
// answers anything: after `limit` such deaths in a row, starts pause for a
// cool-down that begins at one second and doubles with every further pause,
// up to 30 seconds; the first reply of any worker ends it all. Pure: the
// caller brings the time and guards it with its own lock.
class StartThrottle {
public:
    typedef std::chrono::steady_clock Clock;

    explicit StartThrottle(unsigned limit = 5) : limit_(limit) {}

    // A worker's process ended before it delivered a reply. True when this
    // begins a pause: the caller logs it once, with pause().
    bool died_early(Clock::time_point now);
    // Some worker delivered a reply.
    void answered();

    bool paused(Clock::time_point now) const { return now < paused_until_; }
    Clock::duration pause() const { return pause_; }

private:
    unsigned const limit_;
    unsigned deaths_ = 0;
    Clock::duration pause_ = Clock::duration::zero();
    Clock::time_point paused_until_;
};

}  // namespace ts
}  // namespace orv

#endif
