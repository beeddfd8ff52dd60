#include "tcp_queues.hpp"

#include <fstream>
#include <sstream>
#include <string>

#include "eventually.hpp"

namespace orv {
namespace test {

namespace {

// The kernel's TCP states, as /proc/net/tcp writes them.
unsigned const ESTABLISHED = 0x01;
unsigned const CLOSE_WAIT = 0x08;
unsigned const LISTEN = 0x0A;

// "ADDRESS:PORT" in hex: the port.
unsigned port_of(std::string const& endpoint) {
    return static_cast<unsigned>(std::stoul(endpoint.substr(endpoint.rfind(':') + 1), nullptr, 16));
}

bool find_in(char const* table, unsigned short local, unsigned short remote, TcpQueues& queues) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the column titles
    while (std::getline(file, line)) {
        // sl local_address rem_address st tx_queue:rx_queue ...
        std::istringstream fields(line);
        std::string slot, local_address, remote_address, state, queue_sizes;
        if (!(fields >> slot >> local_address >> remote_address >> state >> queue_sizes))
            continue;
        unsigned const st = static_cast<unsigned>(std::stoul(state, nullptr, 16));
        bool const wanted_state = remote == 0 ? st == LISTEN : st == ESTABLISHED || st == CLOSE_WAIT;
        if (!wanted_state || port_of(local_address) != local || port_of(remote_address) != remote)
            continue;
        std::size_t const colon = queue_sizes.find(':');
        queues.unacknowledged = std::stoul(queue_sizes.substr(0, colon), nullptr, 16);
        queues.unread = std::stoul(queue_sizes.substr(colon + 1), nullptr, 16);
        queues.found = true;
        return true;
    }
    return false;
}

}  // namespace

TcpQueues tcp_queues(unsigned short local, unsigned short remote) {
    TcpQueues queues{false, 0, 0};
    if (!find_in("/proc/net/tcp", local, remote, queues))
        find_in("/proc/net/tcp6", local, remote, queues);
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
