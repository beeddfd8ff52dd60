#ifndef ORV_HTTP_LISTENER_HPP
#define ORV_HTTP_LISTENER_HPP

#include <sys/types.h>

#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

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

// One listening socket, non-blocking, watched by the event loop for new
// connections. Opening it logs "Listening for client HTTP connections on
// NAME..." and raises what the steps raise: a boost::system::system_error
// whose text begins with the step's name ("resolve", "open", "set_option",
// "bind", "listen"), or an orv::Exception for a socket file that is in use
// or in a directory others can change. A UNIX socket file is removed when
// the listener is closed, if it is still the one it made.
class Listener {
public:
    Listener(boost::asio::io_context& io, ListenAddress const& address);
    ~Listener();

    Listener(Listener const&) = delete;
    Listener& operator=(Listener const&) = delete;

    // "HOST:PORT", "unix:PATH", or the address of an inherited socket.
    std::string const& name() const { return name_; }
    // The TCP port bound (the system's choice for port 0); 0 for a UNIX
    // socket.
    unsigned short port() const { return port_; }

    bool is_open() const { return socket_.is_open(); }
    int native_handle() { return socket_.native_handle(); }
    boost::asio::posix::stream_descriptor& socket() { return socket_; }
    // Stops listening: later clients are refused.
    void close(boost::system::error_code& ec);

    // A wait for readiness is armed; guarded by the server's mutex.
    bool waiting = false;

private:
    int open_tcp(ListenAddress const& address);
    int open_unix(ListenAddress const& address);
    int adopt(ListenAddress const& address);

    boost::asio::posix::stream_descriptor socket_;
    std::string name_;
    unsigned short port_;
    // The socket file and its identity, to remove it only if it is ours.
    std::string path_;
    dev_t device_;
    ino_t inode_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
