#include "http/connection_tracker.hpp"

#include "common/exception.hpp"

namespace orv {
namespace net {
namespace http {

ConnectionTracker::ConnectionTracker(std::size_t limit) : count_(0), limit_(limit) {}

void ConnectionTracker::connection_opened() {
    boost::mutex::scoped_lock lock(mutex_);
    if (limit_ != 0 && count_ >= limit_)
        throw Exception("Limit on number of active connections (%1%) has exceeded.",
                        static_cast<unsigned long>(limit_));
    ++count_;
}

void ConnectionTracker::connection_closed() {
    boost::mutex::scoped_lock lock(mutex_);
    --count_;
}

std::size_t ConnectionTracker::count() const {
    boost::mutex::scoped_lock lock(mutex_);
    return count_;
}

}  // namespace http
}  // namespace net
}  // namespace orv
