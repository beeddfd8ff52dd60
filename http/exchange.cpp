#include "http/exchange.hpp"

#include <algorithm>

namespace orv {
namespace net {
namespace http {

Exchange::Exchange(Clock::time_point began, Deadlines const& deadlines)
    : deadlines_(deadlines), began_(began), progress_deadline_(began + deadlines.wait) {}

void Exchange::note_progress(std::size_t consumed, std::size_t held, Clock::time_point now) {
    if (reader_.next() == RequestReader::read_body) {
        if (held < step_goal_)
            return;
        step_goal_ = held + reader_.wanted(held);
    } else if (consumed == 0) {
        return;
    }
    progress_deadline_ = now + deadlines_.wait;
}

Exchange::Clock::time_point Exchange::wait_deadline() const {
    Clock::duration const budget =
        reader_.next() == RequestReader::read_body ? deadlines_.request : deadlines_.head;
    return std::min(progress_deadline_, began_ + budget);
}

void Exchange::mark_started(Clock::time_point now) {
    if (started_ == Clock::time_point()) started_ = now;
}

Exchange::Clock::duration Exchange::duration(Clock::time_point now) const {
    return started_ == Clock::time_point() ? Clock::duration::zero() : now - started_;
}

}  // namespace http
}  // namespace net
}  // namespace orv
