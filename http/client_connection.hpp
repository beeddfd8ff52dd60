#ifndef ORV_HTTP_CLIENT_CONNECTION_HPP
#define ORV_HTTP_CLIENT_CONNECTION_HPP

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include "http/deadlines.hpp"
#include "http/peer.hpp"
#include "http/request_reader.hpp"

namespace orv {
namespace net {
namespace http {

class ConnectionTracker;
class ServerStats;
class RequestError;
class RequestHandler;

// Serves one accepted connection: reads one request, hands it to the handler
// and writes exactly one response, then shuts the socket down. The socket
// joins the event loop only when the connection has to wait for it: most
// requests arrive whole and most replies fit the socket's send buffer, and
// those are served without the loop ever watching the socket (no
// registration, and no wake-up of a pool thread for data that was read
// already). The object owns itself through the shared pointers bound into
// its pending operations and into every Responder; it dies with the last of
// them. Everything but send_response runs on the connection's strand.
class ClientConnection : public boost::enable_shared_from_this<ClientConnection> {
public:
    typedef std::map<std::string, std::string> Headers;

    // Takes over `fd`, an accepted socket of the given protocol.
    ClientConnection(boost::asio::io_context& io, boost::asio::ip::tcp const& protocol, int fd,
                     boost::shared_ptr<ConnectionTracker> const& tracker, RequestHandler& handler,
                     Deadlines const& deadlines = Deadlines(), ServerStats* stats = nullptr);
    ~ClientConnection();

    // Registers with the tracker (throws orv::Exception at the limit) and
    // starts reading the request.
    void start();

    // The peer as "address:port", cached at start; "unknown" when the peer was
    // already gone.
    std::string const& get_name();

    // Produces the one response. Callable from any thread: the work moves onto
    // the connection's strand, so concurrent calls never race and every call
    // after the first is refused with an ERROR line.
    void send_response(std::string status, Headers const& headers, std::string body);
    void send_response(std::string const& status, std::string const& body);

private:
    typedef boost::asio::strand<boost::asio::io_context::executor_type> Strand;
    typedef std::chrono::steady_clock Clock;

    int descriptor();
    boost::system::error_code watch();
    void read_request();
    long receive_now();
    void note_progress(std::size_t consumed);
    void wait_readable();
    void handle_readable(boost::system::error_code const& ec);
    void receive_failed(boost::system::error_code const& ec);
    void refuse(RequestError const& error);
    void handle_request();
    void respond(std::string const& status, Headers const& headers, std::string body);
    std::array<boost::asio::const_buffer, 2> unsent() const;
    void write_response();
    void handle_write(boost::system::error_code const& ec, std::size_t bytes);
    void finish_response();
    void arm_deadline(Clock::time_point expiry);
    void cancel_deadline();
    void handle_deadline(boost::system::error_code const& ec);

    Strand strand_;
    // When the connection was accepted: the head and request budgets count
    // from here.
    Clock::time_point accepted_;
    // When the unit of progress now awaited (a line, a body step) is due,
    // and the buffer size that completes the body step.
    Clock::time_point progress_deadline_;
    std::size_t step_goal_ = 0;
    // When the request line was read, for the request's duration.
    Clock::time_point request_started_;
    ServerStats* const stats_;
    int status_code_;
    boost::asio::ip::tcp const protocol_;
    // The socket while the event loop does not watch it; -1 once socket_
    // has taken it over (or it was closed).
    int fd_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::streambuf buffer_;
    boost::asio::steady_timer deadline_timer_;
    Deadlines const deadlines_;
    RequestReader reader_;
    RequestHandler& handler_;
    // Shared so that a connection outliving the server (its last Responder
    // copy held elsewhere) can still deregister safely.
    boost::shared_ptr<ConnectionTracker> const tracker_;
    bool registered_;
    // The peer, once get_name has found it.
    Peer peer_;
    // A response was produced; it goes out as head_ then body_.
    bool responded_;
    std::string head_;
    std::string body_;
    std::size_t written_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
