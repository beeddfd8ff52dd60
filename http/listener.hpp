#ifndef ORV_HTTP_LISTENER_HPP
#define ORV_HTTP_LISTENER_HPP

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "http/listen_address.hpp"

namespace orv {

class TrustedDirectory;
namespace net {
namespace http {

// One listening socket, non-blocking, watched by the event loop for new
// connections. Opening it raises what the steps raise: a boost::system::system_error
// whose text begins with the step's name ("resolve", "open", "set_option",
// "bind", "listen"), or an orv::Exception for a socket file that is in use
// or in a directory others can change. A UNIX socket file is removed when
// the listener is closed, if it is still the one it made.
class Listener {
public:
    // shared: a TCP listener that siblings on other event loops will join.
    // Its own bind is made without the port sharing option, so that a port
    // that another process holds fails the start as always.
    Listener(boost::asio::io_context& io, ListenAddress const& address, bool shared = false);
    // Another listening socket on the TCP port of a shared `first`, for
    // another event loop: the kernel spreads the port's connections over
    // them.
    Listener(boost::asio::io_context& io, Listener const& first);
    ~Listener();

    Listener(Listener const&) = delete;
    Listener& operator=(Listener const&) = delete;

    // "HOST:PORT", "unix:PATH", or the address of an inherited socket.
    std::string const& name() const { return name_; }
    // The name of a listener to be made on the address; not for an
    // inherited socket, which tells its address once it is adopted.
    static std::string display_name(ListenAddress const& address);
    // The TCP port bound (the system's choice for port 0); 0 for a UNIX
    // socket.
    unsigned short port() const { return port_; }

    bool is_open() const { return socket_.is_open(); }
    // The event loop whose connections it accepts.
    boost::asio::io_context& loop() { return loop_; }
    int native_handle() { return socket_.native_handle(); }
    boost::asio::posix::stream_descriptor& socket() { return socket_; }
    // Stops listening: later clients are refused.
    void close(boost::system::error_code& ec);

    // A wait for readiness is armed; guarded by the server's mutex.
    bool waiting = false;

private:
    int open_tcp(ListenAddress const& address, bool shared, bool sibling);
    void adopt_descriptor(int fd);
    int open_unix(ListenAddress const& address);
    int adopt(ListenAddress const& address);

    boost::asio::io_context& loop_;
    boost::asio::posix::stream_descriptor socket_;
    // The address as bound (the system's port for port 0), for siblings.
    ListenAddress address_;
    std::string name_;
    unsigned short port_;
    // The socket file's directory, its name there and its identity, to
    // remove it only if it is ours.
    std::unique_ptr<TrustedDirectory> directory_;
    std::string name_in_directory_;
    dev_t device_;
    ino_t inode_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
