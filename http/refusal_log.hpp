#ifndef ORV_HTTP_REFUSAL_LOG_HPP
#define ORV_HTTP_REFUSAL_LOG_HPP

#include <array>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "http/peer.hpp"
#include "http/refusal_counter.hpp"

namespace orv {
namespace net {
namespace http {

// The log lines of the connections a server refuses, per cause (the
// connection limit, an address's share): the first refusal after a quiet
// second as it always was ("Failed to handle a client connection from PEER:
// REASON"), the rest summarised once a second with their count and the
// addresses seen most. Thread-safe; the timer runs on the server's event
// loop, so destroy the log only once that loop no longer runs.
class RefusalLog {
public:
    enum Cause { limit, share, CAUSES };

    explicit RefusalLog(boost::asio::io_context& io);

    void refused(Cause cause, std::string const& name, Peer const& peer, char const* reason);
    // Tells what was counted, and counts no more.
    void stop();

private:
    void arm_timer();
    void handle_timer(boost::system::error_code const& ec);
    void report(bool last);

    boost::mutex mutex_;
    std::array<RefusalCounter, CAUSES> counters_;
    boost::asio::steady_timer timer_;
    bool armed_;
    bool stopped_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
