#ifndef ORV_HTTP_CONNECTION_TRACKER_HPP
#define ORV_HTTP_CONNECTION_TRACKER_HPP

#include <cstddef>

#include <boost/thread/mutex.hpp>

namespace orv {
namespace net {
namespace http {

// Counts open client connections against a limit (0: no limit).
class ConnectionTracker {
public:
    explicit ConnectionTracker(std::size_t limit);

    // Throws orv::Exception "Limit on number of active connections (N) has
    // exceeded." when the limit is reached; the count is then unchanged.
    void connection_opened();
    // Only for connections whose connection_opened succeeded.
    void connection_closed();

    std::size_t count() const;

private:
    mutable boost::mutex mutex_;
    std::size_t count_;
    std::size_t const limit_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
