#include "http/connection_tracker.hpp"

#include <vector>

#include "common/exception.hpp"
#include "http/client_connection.hpp"

namespace orv {
namespace net {
namespace http {

ConnectionTracker::ConnectionTracker(std::size_t limit) : limit_(limit), count_(0), stopping_(false) {
    for (std::atomic<std::size_t>& state : states_) state = 0;
}

// The count is taken without a lock; only at the limit is the idle list
// looked at.
void ConnectionTracker::connection_opened(Slot& slot, boost::shared_ptr<ClientConnection> const& connection) {
    slot.connection_ = connection;
    std::size_t open = count_.load();
    for (;;) {
        if (limit_ == 0 || open < limit_) {
            if (count_.compare_exchange_weak(open, open + 1)) break;
            continue;
        }
        if (evict_for(slot)) break;
        throw Exception("Limit on number of active connections (%1%) has exceeded.",
                        static_cast<unsigned long>(limit_));
    }
    slot.counted_ = true;
    slot.state_ = reading;
    ++states_[reading];
}

// The longest-idle connection gives its place to the newcomer: it leaves the
// count and its state now, and is closed on its own strand.
bool ConnectionTracker::evict_for(Slot&) {
    boost::weak_ptr<ClientConnection> victim;
    {
        boost::mutex::scoped_lock lock(mutex_);
        if (idle_.empty()) return false;
        Slot& oldest = idle_.front();
        idle_.pop_front();
        oldest.listed_ = false;
        oldest.taken_ = true;
        oldest.evicted_ = true;
        --states_[oldest.state_];
        victim = oldest.connection_;
    }
    close(victim);
    return true;
}

void ConnectionTracker::connection_closed(Slot& slot) {
    if (!slot.counted_) return;
    slot.counted_ = false;
    if (slot.went_idle_) {
        boost::mutex::scoped_lock lock(mutex_);
        if (slot.listed_) {
            idle_.erase(idle_.iterator_to(slot));
            slot.listed_ = false;
        }
        if (slot.evicted_) return;  // its place and state went with the eviction
    }
    --states_[slot.state_];
    --count_;
}

void ConnectionTracker::move(Slot& slot, State state) {
    --states_[slot.state_];
    ++states_[state];
    slot.state_ = state;
}

void ConnectionTracker::set_state(Slot& slot, State state) {
    if (slot.counted_ && slot.state_ != state) move(slot, state);
}

bool ConnectionTracker::go_idle(Slot& slot) {
    boost::mutex::scoped_lock lock(mutex_);
    if (stopping_) return false;
    slot.went_idle_ = true;
    slot.listed_ = true;
    idle_.push_back(slot);
    move(slot, idle);
    return true;
}

bool ConnectionTracker::leave_idle(Slot& slot) {
    boost::mutex::scoped_lock lock(mutex_);
    if (slot.taken_) return false;
    if (slot.listed_) idle_.erase(idle_.iterator_to(slot));
    slot.listed_ = false;
    move(slot, reading);
    return true;
}

void ConnectionTracker::stop() {
    stopping_ = true;
    std::vector<boost::weak_ptr<ClientConnection>> closing;
    {
        boost::mutex::scoped_lock lock(mutex_);
        while (!idle_.empty()) {
            Slot& slot = idle_.front();
            idle_.pop_front();
            slot.listed_ = false;
            slot.taken_ = true;
            closing.push_back(slot.connection_);
        }
    }
    for (auto const& connection : closing) close(connection);
}

// Outside the lock: the connection may be on its way out, and the last
// reference to it may be the one taken here.
void ConnectionTracker::close(boost::weak_ptr<ClientConnection> const& connection) {
    if (boost::shared_ptr<ClientConnection> const alive = connection.lock()) alive->close_idle();
}

}  // namespace http
}  // namespace net
}  // namespace orv
