#ifndef ORV_HTTP_CONNECTION_TRACKER_HPP
#define ORV_HTTP_CONNECTION_TRACKER_HPP

#include <array>
#include <atomic>
#include <cstddef>
#include <map>

#include <boost/intrusive/list.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include "common/exception.hpp"
#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

class ClientConnection;

// A connection refused because its address holds its share already.
class ShareExceeded : public Exception {
public:
    explicit ShareExceeded(std::size_t share)
        : Exception("Limit on number of connections from one address (%1%) has exceeded.",
                    static_cast<unsigned long>(share)) {}
};

// Counts open client connections against a limit (0: no limit), by what
// they are doing, and keeps the persistent connections that wait idle for
// their next request in the order they began to wait, so that they can be
// found and closed: the longest-idle one gives way when the limit is
// reached, and all of them go when the server stops.
class ConnectionTracker {
public:
    enum State { reading, working, idle, STATES };

    // An IPv4 address, or the /64 network of an IPv6 one (where one host
    // commonly holds a whole network), with the family in the last byte.
    typedef std::array<unsigned char, 9> AddressKey;

    // The tracker's record of one connection, held by the connection. Its
    // fields belong to the tracker.
    class Slot : public boost::intrusive::list_base_hook<> {
        friend class ConnectionTracker;
        boost::weak_ptr<ClientConnection> connection_;
        State state_ = reading;
        bool counted_ = false;
        // Has been idle at least once, so the tracker may have touched it.
        bool went_idle_ = false;
        bool listed_ = false;
        // The tracker took it off the idle list to close it.
        bool taken_ = false;
        // ... and gave its place in the count to a newcomer.
        bool evicted_ = false;
        // Counted against its address's share, under this key.
        bool shared_ = false;
        AddressKey address_{};
    };

    // At most `limit` connections at once (0: no limit), and at most
    // `per_address` (0: no limit) from one address.
    explicit ConnectionTracker(std::size_t limit, std::size_t per_address = 0);

    // The key of an IP peer's address.
    static AddressKey key_of(Peer const& peer);

    // Counts the connection in, as reading; `address` (null: exempt from
    // the share) is its peer's. A peer whose address holds its share
    // already is refused: throws orv::Exception "Limit on number of
    // connections from one address (N) has exceeded.". At the limit the
    // longest-idle connection, if there is one, is closed to make room;
    // otherwise throws orv::Exception "Limit on number of active connections
    // (N) has exceeded.". A refused connection changes nothing.
    void connection_opened(Slot& slot, boost::shared_ptr<ClientConnection> const& connection,
                           Peer const* address = nullptr);
    // For every slot, whether or not connection_opened succeeded.
    void connection_closed(Slot& slot);

    void set_state(Slot& slot, State state);
    // The connection waits for its next request. False when the server is
    // stopping: it closes instead.
    bool go_idle(Slot& slot);
    // Its next request began. False when it was closed meanwhile to make
    // room, and must not be served.
    bool leave_idle(Slot& slot);

    // The server stops: every idle connection is closed, and none may wait
    // idle from now on.
    void stop();
    bool stopping() const { return stopping_.load(); }

    std::size_t count() const { return count_.load(std::memory_order_relaxed); }
    std::size_t count(State state) const { return states_[state].load(std::memory_order_relaxed); }

private:
    typedef boost::intrusive::list<Slot> IdleList;

    void take_share(Slot& slot, Peer const& address);
    void give_back_share(Slot& slot);
    bool evict_for(Slot& slot);
    void move(Slot& slot, State state);
    static void close(boost::weak_ptr<ClientConnection> const& connection);

    std::size_t const limit_;
    std::size_t const per_address_;
    // Connections per address, for the share.
    boost::mutex shares_mutex_;
    std::map<AddressKey, std::size_t> shares_;
    std::atomic<std::size_t> count_;
    std::array<std::atomic<std::size_t>, STATES> states_;
    std::atomic<bool> stopping_;
    // Guards the idle list and the listed and evicted flags.
    boost::mutex mutex_;
    IdleList idle_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
