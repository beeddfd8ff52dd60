#include "http/connection_tracker.hpp"

#include <algorithm>
#include <vector>

#include "common/exception.hpp"
#include "http/client_connection.hpp"

namespace orv {
namespace net {
namespace http {

ConnectionTracker::ConnectionTracker(std::size_t limit, std::size_t per_address)
    : limit_(limit), per_address_(per_address), count_(0), stopping_(false) {
    for (std::atomic<std::size_t>& state : states_) state = 0;
}

// The count is taken without a lock; only at the limit is the idle list
// looked at.
ConnectionTracker::AddressKey ConnectionTracker::key_of(Peer const& peer) {
    AddressKey key{};
    static unsigned char const MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    bool const mapped = peer.family == Peer::ipv6 && std::equal(MAPPED, MAPPED + 12, peer.bytes.begin());
    if (peer.family == Peer::ipv4 || mapped) {
        std::copy_n(peer.bytes.begin() + (mapped ? 12 : 0), 4, key.begin());
        key[8] = 4;
    } else {
        std::copy_n(peer.bytes.begin(), 8, key.begin());
        key[8] = 6;
    }
    return key;
}

void ConnectionTracker::take_share(Slot& slot, Peer const& address) {
    AddressKey const key = key_of(address);
    boost::mutex::scoped_lock lock(shares_mutex_);
    std::size_t& held = shares_[key];
    if (held >= per_address_) {
        if (held == 0) shares_.erase(key);
        throw ShareExceeded(per_address_);
    }
    ++held;
    slot.shared_ = true;
    slot.address_ = key;
}

void ConnectionTracker::give_back_share(Slot& slot) {
    if (!slot.shared_) return;
    slot.shared_ = false;
    boost::mutex::scoped_lock lock(shares_mutex_);
    auto const found = shares_.find(slot.address_);
    if (found != shares_.end() && --found->second == 0) shares_.erase(found);
}

void ConnectionTracker::connection_opened(Slot& slot, boost::shared_ptr<ClientConnection> const& connection,
                                          Peer const* address) {
    slot.connection_ = connection;
    if (per_address_ != 0 && address != nullptr && address->is_ip()) take_share(slot, *address);
    std::size_t open = count_.load();
    for (;;) {
        if (limit_ == 0 || open < limit_) {
            if (count_.compare_exchange_weak(open, open + 1)) break;
            continue;
        }
        if (evict_for(slot)) break;
        give_back_share(slot);
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
    give_back_share(slot);
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
