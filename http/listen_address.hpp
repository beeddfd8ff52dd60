#ifndef ORV_HTTP_LISTEN_ADDRESS_HPP
#define ORV_HTTP_LISTEN_ADDRESS_HPP

#include <sys/types.h>

#include <string>

namespace orv {
namespace net {
namespace http {

// Where a server listens: a TCP address and port, a UNIX socket file, or a
// listening socket the process was given (by a service manager).
struct ListenAddress {
    enum Kind { tcp, unix_socket, inherited };

    Kind kind = tcp;
    std::string host;
    int port = 0;
    // The socket file, its mode and group (-1: the daemon's own).
    std::string path;
    mode_t mode = 0660;
    gid_t group = static_cast<gid_t>(-1);
    int fd = -1;

    static ListenAddress tcp_address(std::string const& host, int port);
    static ListenAddress unix_address(std::string const& path, mode_t mode = 0660,
                                      gid_t group = static_cast<gid_t>(-1));
    static ListenAddress inherited_socket(int fd);
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
