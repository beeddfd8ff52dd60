#include "tcp_queues.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "eventually.hpp"

namespace orv {
namespace test {

namespace {

// Asks the kernel (sock_diag over netlink) for the TCP sockets of one family
// in the wanted states, and picks the one with these ports. The kernel leaves
// out sockets of other states, so the many closing sockets a busy machine
// keeps cost nothing, unlike a scan of /proc/net/tcp.
bool find_in(int family, unsigned short local, unsigned short remote, TcpQueues& queues) {
    int const fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask = {};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = static_cast<__u8>(family);
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = remote == 0 ? 1u << TCP_LISTEN : (1u << TCP_ESTABLISHED) | (1u << TCP_CLOSE_WAIT);
    bool found = false;
    if (::send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
        alignas(nlmsghdr) char buffer[65536];
        for (bool done = false; !done;) {
            ssize_t left = ::recv(fd, buffer, sizeof buffer, 0);
            if (left <= 0)
                break;
            for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                inet_diag_msg const* const entry = static_cast<inet_diag_msg const*>(NLMSG_DATA(h));
                if (!found && ntohs(entry->id.idiag_sport) == local && ntohs(entry->id.idiag_dport) == remote) {
                    queues = TcpQueues{true, entry->idiag_wqueue, entry->idiag_rqueue};
                    found = true;
                }
            }
        }
    }
    ::close(fd);
    return found;
}

}  // namespace

TcpQueues tcp_queues(unsigned short local, unsigned short remote) {
    TcpQueues queues{false, 0, 0};
    if (!find_in(AF_INET, local, remote, queues))
        find_in(AF_INET6, local, remote, queues);
    return queues;
}

bool server_has_read(unsigned short server_port, unsigned short client_port) {
    return eventually([&] {
        TcpQueues const client = tcp_queues(client_port, server_port);
        TcpQueues const server = tcp_queues(server_port, client_port);
        return client.found && server.found && client.unacknowledged == 0 && server.unread == 0;
    });
}

}  // namespace test
}  // namespace orv
