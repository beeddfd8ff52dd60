#ifndef ORV_HTTP_DEADLINES_HPP
#define ORV_HTTP_DEADLINES_HPP

#include <chrono>

namespace orv {
namespace net {
namespace http {

// How long a connection may wait for its peer. Tests shorten them; the
// daemon uses the defaults.
struct Deadlines {
    // Each single wait for the network: a read that brings nothing, a write
    // that the peer does not take.
    std::chrono::steady_clock::duration wait = std::chrono::seconds(5);
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
