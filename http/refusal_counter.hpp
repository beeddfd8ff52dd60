#ifndef ORV_HTTP_REFUSAL_COUNTER_HPP
#define ORV_HTTP_REFUSAL_COUNTER_HPP

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <boost/asio/ip/address.hpp>

namespace orv {
namespace net {
namespace http {

// Decides which refused connections of one cause are logged one by one and
// counts the rest, so that a flood of refusals (each from another port, so
// no two lines alike) writes a line a second instead of one per refusal.
//
// The first refusal after a quiet second is logged on its own. It opens a
// second of counting: the refusals within it are counted, with the
// addresses seen most, and summarised once it is over; while refusals go
// on, each further second is counted and summarised the same way, and a
// second without any ends the counting. The caller ends each second with
// flush(), from a timer armed when refused() opens a second and re-armed
// for due() while flush() says counting goes on.
//
// A refusal costs a lock and a look through a small table of addresses; it
// allocates nothing. Thread-safe.
class RefusalCounter {
public:
    typedef std::chrono::steady_clock Clock;
    // Addresses named in a summary; the table keeps a few more to find them.
    static constexpr std::size_t NAMED = 3;
    static constexpr std::size_t TRACKED = 16;

    struct Summary {
        std::uint64_t count = 0;  // refusals counted; 0: nothing to say
        std::string reason;       // the refusal's text, as logged first
        std::array<boost::asio::ip::address, NAMED> most;  // most frequent first
        std::size_t named = 0;
    };

    explicit RefusalCounter(Clock::duration period = std::chrono::seconds(1));

    // A refusal of a connection from `from` for `reason`. True when it is to
    // be logged on its own; `opened` then tells that a second of counting
    // began, whose flush is due at due().
    bool refused(Clock::time_point now, boost::asio::ip::address const& from, char const* reason, bool& opened);

    // Ends the counted second when it is over, or at once with `last` (the
    // server stops): what it counted goes to `summary`. True while counting
    // goes on and a flush is due at due().
    bool flush(Clock::time_point now, Summary& summary, bool last = false);
    Clock::time_point due() const;
    // A second of counting is open.
    bool counting() const;

private:
    struct Tracked {
        boost::asio::ip::address address;
        std::uint64_t seen = 0;
    };

    void note(boost::asio::ip::address const& from);

    Clock::duration const period_;
    mutable std::mutex mutex_;
    bool counting_ = false;
    Clock::time_point due_;
    std::uint64_t count_ = 0;
    std::string reason_;
    std::array<Tracked, TRACKED> tracked_;
    std::size_t tracked_count_ = 0;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
