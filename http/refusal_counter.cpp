#include "http/refusal_counter.hpp"

#include <algorithm>

namespace orv {
namespace net {
namespace http {

RefusalCounter::RefusalCounter(Clock::duration period) : period_(period) {}

// The reason is copied once per counted second, when it opens.
bool RefusalCounter::refused(Clock::time_point now, boost::asio::ip::address const& from, char const* reason,
                             bool& opened) {
    std::lock_guard<std::mutex> lock(mutex_);
    opened = !counting_;
    if (opened) {
        counting_ = true;
        due_ = now + period_;
        reason_ = reason;
        return true;
    }
    ++count_;
    note(from);
    return false;
}

// The addresses seen most, kept in a table of fixed size: one that is not
// there takes the place of the least seen and inherits its count (plus
// one), so that a frequent address always finds its way in and the counts
// stay upper bounds.
void RefusalCounter::note(boost::asio::ip::address const& from) {
    Tracked* least = nullptr;
    for (std::size_t i = 0; i < tracked_count_; ++i) {
        if (tracked_[i].address == from) {
            ++tracked_[i].seen;
            return;
        }
        if (least == nullptr || tracked_[i].seen < least->seen) least = &tracked_[i];
    }
    if (tracked_count_ < TRACKED) {
        tracked_[tracked_count_++] = {from, 1};
    } else {
        least->address = from;
        ++least->seen;
    }
}

bool RefusalCounter::flush(Clock::time_point now, Summary& summary, bool last) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!counting_) return false;
    if (now < due_ && !last) return true;
    summary.count = count_;
    summary.reason = reason_;
    std::array<Tracked, TRACKED> sorted = tracked_;
    std::sort(sorted.begin(), sorted.begin() + tracked_count_,
              [](Tracked const& a, Tracked const& b) { return a.seen > b.seen; });
    summary.named = std::min(NAMED, tracked_count_);
    for (std::size_t i = 0; i < summary.named; ++i) summary.most[i] = sorted[i].address;
    // A second without refusals ends the counting: the next one is logged
    // on its own again.
    counting_ = count_ > 0 && !last;
    count_ = 0;
    tracked_count_ = 0;
    due_ = now + period_;
    return counting_;
}

bool RefusalCounter::counting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counting_;
}

RefusalCounter::Clock::time_point RefusalCounter::due() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return due_;
}

}  // namespace http
}  // namespace net
}  // namespace orv
