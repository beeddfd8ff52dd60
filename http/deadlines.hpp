#ifndef ORV_HTTP_DEADLINES_HPP
#define ORV_HTTP_DEADLINES_HPP

#include <chrono>

namespace orv {
namespace net {
namespace http {

// How long a connection may wait for its peer. Tests shorten them; the
// daemon uses the defaults.
struct Deadlines {
    // Each single wait for the network: a read that brings too little, a
    // write that the peer does not take.
    std::chrono::steady_clock::duration wait = std::chrono::seconds(5);
    // Whatever the progress of each wait, the request line and headers must
    // be complete this long after the connection was accepted, and the whole
    // request with its body this long after: a client trickling one byte
    // every few seconds holds its connection no longer.
    std::chrono::steady_clock::duration head = std::chrono::seconds(30);
    std::chrono::steady_clock::duration request = std::chrono::seconds(60);
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
