#ifndef ORV_HTTP_SERVER_HPP
#define ORV_HTTP_SERVER_HPP

#include <array>
#include <cstddef>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "http/connection_settings.hpp"
#include "http/request_handler.hpp"
#include "http/server_stats.hpp"

namespace orv {
namespace net {
namespace http {

class ClientConnection;
class ConnectionTracker;

// The listening socket: accepts connections while running and hands each to
// a fresh ClientConnection, at most `limit` open at once (0: no limit). The
// handler must outlive the server. Destroy the server only once the event
// loop no longer runs: pending accept and back-off completions refer to it.
class Server {
public:
    // Resolves, opens, configures, binds and listens at once; each step's
    // failure leaves as a boost::system::system_error whose text begins with
    // the step's name ("resolve", "open", "set_option", "bind", "listen").
    // settings are every connection's: the deadlines of its network waits,
    // persistent connections, and the stats that count responses and
    // refusals (when given; they must outlive the server).
    Server(boost::asio::io_context& io, std::string const& host, int port, RequestHandler& handler,
           std::size_t limit, ConnectionSettings const& settings = ConnectionSettings());
    ~Server();

    Server(Server const&) = delete;
    Server& operator=(Server const&) = delete;

    void start();
    // Stops accepting, closes the listening socket (later clients are
    // refused), closes the persistent connections that wait idle, and tells
    // the handler; connections busy with a request run on, and close once
    // it is answered.
    // A stopped server cannot be started again.
    void stop();

    boost::asio::ip::tcp::endpoint local_endpoint() const;
    std::size_t open_connections() const;
    // Open connections reading a request, with the handler (or writing its
    // answer), and idle between requests.
    std::array<std::size_t, 3> connection_states() const;

private:
    void await_connections();
    void handle_acceptable(boost::system::error_code const& ec);
    void accept_pending();
    int accept_next(int& error);
    bool pause_accepting();
    void handle_pause_end(boost::system::error_code const& ec);
    void run(boost::shared_ptr<ClientConnection> const& connection);

    // Guards running_, waiting_, paused_ and the acceptor.
    boost::mutex mutex_;
    bool running_;
    // A wait for the listening socket to become readable is armed.
    bool waiting_;
    // Accepting rests after the process ran out of descriptors.
    bool paused_;
    boost::asio::io_context& io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_timer_;
    boost::shared_ptr<ConnectionTracker> const tracker_;
    RequestHandler& handler_;
    ConnectionSettings const settings_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
