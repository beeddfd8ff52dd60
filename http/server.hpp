#ifndef ORV_HTTP_SERVER_HPP
#define ORV_HTTP_SERVER_HPP

#include <cstddef>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "http/deadlines.hpp"
#include "http/refusal_counter.hpp"
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
    // deadlines bound the network waits of every connection; stats, when
    // given, counts responses and refusals and must outlive the server.
    Server(boost::asio::io_context& io, std::string const& host, int port, RequestHandler& handler,
           std::size_t limit, Deadlines const& deadlines = Deadlines(), ServerStats* stats = nullptr);
    ~Server();

    Server(Server const&) = delete;
    Server& operator=(Server const&) = delete;

    void start();
    // Stops accepting, closes the listening socket (later clients are
    // refused) and tells the handler; connections already accepted run on.
    // A stopped server cannot be started again.
    void stop();

    boost::asio::ip::tcp::endpoint local_endpoint() const;
    std::size_t open_connections() const;

private:
    void await_connections();
    void handle_acceptable(boost::system::error_code const& ec);
    void accept_pending();
    int accept_next(int& error, boost::asio::ip::tcp::endpoint& peer);
    bool pause_accepting();
    void handle_pause_end(boost::system::error_code const& ec);
    void run(boost::shared_ptr<ClientConnection> const& connection, boost::asio::ip::address const& peer);
    void arm_refusal_timer();
    void handle_refusal_timer(boost::system::error_code const& ec);
    void report_refusals(bool last);

    // Guards running_, waiting_, paused_, the acceptor and the refusal timer.
    boost::mutex mutex_;
    bool running_;
    // A wait for the listening socket to become readable is armed.
    bool waiting_;
    // Accepting rests after the process ran out of descriptors.
    bool paused_;
    // The listening socket's family, which accepted sockets share.
    bool ipv6_;
    boost::asio::io_context& io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_timer_;
    // Refused connections are logged in aggregate; the timer ends each
    // second that counts them.
    RefusalCounter refusals_;
    boost::asio::steady_timer refusal_timer_;
    boost::shared_ptr<ConnectionTracker> const tracker_;
    RequestHandler& handler_;
    Deadlines const deadlines_;
    ServerStats* const stats_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
