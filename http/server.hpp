#ifndef ORV_HTTP_SERVER_HPP
#define ORV_HTTP_SERVER_HPP

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "http/connection_settings.hpp"
#include "http/listener.hpp"
#include "http/refusal_log.hpp"
#include "http/request_handler.hpp"
#include "http/server_stats.hpp"

namespace orv {
namespace net {
namespace http {

class ClientConnection;
class ConnectionTracker;

// The listening sockets: accepts connections while running and hands each
// to a fresh ClientConnection on the listener's event loop, at most `limit` open at once (0: no limit).
// The handler must outlive the server. Destroy the server only once the
// event loop no longer runs: pending accept and back-off completions refer
// to it.
class Server {
public:
    // Opens every listener at once, in order (see Listener for what each
    // step raises). settings are every connection's: the deadlines of its
    // network waits, persistent connections, and the stats that count
    // responses and refusals (when given; they must outlive the server).
    Server(boost::asio::io_context& io, std::vector<ListenAddress> const& addresses, RequestHandler& handler,
           std::size_t limit, ConnectionSettings const& settings = ConnectionSettings());
    // The same for several event loops: each TCP address gets a listening
    // socket on every loop, and a connection stays on the loop that
    // accepted it; UNIX and inherited sockets are accepted on the first
    // loop, which also runs the server's own timers.
    Server(std::vector<boost::asio::io_context*> const& loops, std::vector<ListenAddress> const& addresses,
           RequestHandler& handler, std::size_t limit, ConnectionSettings const& settings = ConnectionSettings());
    // One TCP listener on host and port.
    Server(boost::asio::io_context& io, std::string const& host, int port, RequestHandler& handler,
           std::size_t limit, ConnectionSettings const& settings = ConnectionSettings());
    ~Server();

    Server(Server const&) = delete;
    Server& operator=(Server const&) = delete;

    void start();
    // Stops accepting, closes the listening sockets (later clients are
    // refused), closes the persistent connections that wait idle, and tells
    // the handler; connections busy with a request run on, and close once
    // it is answered. A stopped server cannot be started again.
    void stop();

    // The first TCP listener's port (0 when there is none).
    unsigned short port() const;
    std::size_t open_connections() const;
    // Open connections reading a request, with the handler (or writing its
    // answer), and idle between requests.
    std::array<std::size_t, 3> connection_states() const;

private:
    void await_connections(Listener& listener);
    void handle_acceptable(Listener& listener, boost::system::error_code const& ec);
    void accept_pending(Listener& listener);
    int accept_next(Listener& listener, int& error);
    bool pause_accepting();
    void handle_pause_end(boost::system::error_code const& ec);
    void run(boost::shared_ptr<ClientConnection> const& connection);

    // Guards running_, paused_ and the listeners.
    boost::mutex mutex_;
    bool running_;
    // Accepting rests after the process ran out of descriptors.
    bool paused_;
    boost::asio::io_context& io_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    boost::asio::steady_timer pause_timer_;
    RefusalLog refusals_;
    boost::shared_ptr<ConnectionTracker> const tracker_;
    RequestHandler& handler_;
    ConnectionSettings const settings_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
