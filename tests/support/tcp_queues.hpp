#ifndef ORV_TESTS_SUPPORT_TCP_QUEUES_HPP
#define ORV_TESTS_SUPPORT_TCP_QUEUES_HPP

#include <cstddef>

namespace orv {
namespace test {

// What the kernel holds for one TCP socket of this machine, IPv4 or IPv6, as
// its socket diagnostics (and /proc/net/tcp) report it.
struct TcpQueues {
    bool found;
    // Bytes written but not yet acknowledged by the peer.
    std::size_t unacknowledged;
    // Bytes received but not yet read; for a listening socket, the
    // connections waiting to be accepted.
    std::size_t unread;
};

// The established (or half-closed) socket whose local port is `local` and
// whose peer's port is `remote`; with remote 0, the socket listening on
// `local`. Closing, timed-out and half-open sockets are never matched.
TcpQueues tcp_queues(unsigned short local, unsigned short remote);

// Waits (bounded) until the server has read every byte the client sent:
// the server acknowledged all of it and holds none of it unread.
bool server_has_read(unsigned short server_port, unsigned short client_port);

}  // namespace test
}  // namespace orv

#endif
