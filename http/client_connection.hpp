#ifndef ORV_HTTP_CLIENT_CONNECTION_HPP
#define ORV_HTTP_CLIENT_CONNECTION_HPP

#include <cstddef>
#include <map>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include "http/request_parser.hpp"

namespace orv {
namespace net {
namespace http {

class ConnectionTracker;
class RequestHandler;

// Serves one accepted connection: reads one request, hands it to the handler
// and writes exactly one response, then shuts the socket down. The object owns
// itself through the shared pointers bound into its pending operations and
// into every Responder; it dies with the last of them.
class ClientConnection : public boost::enable_shared_from_this<ClientConnection> {
public:
    typedef std::map<std::string, std::string> Headers;

    // timeout bounds every single wait for the network.
    ClientConnection(boost::asio::io_context& io, boost::shared_ptr<ConnectionTracker> const& tracker,
                     RequestHandler& handler,
                     boost::posix_time::time_duration const& timeout = boost::posix_time::seconds(5));
    ~ClientConnection();

    boost::asio::ip::tcp::socket& socket() { return socket_; }

    // Registers with the tracker (throws orv::Exception at the limit) and
    // starts reading the request.
    void start();

    // The peer as "address:port", cached at start; "unknown" when the peer was
    // already gone.
    std::string const& get_name();

    // Produces the one response. Callable from any thread: the work is moved
    // onto the connection's strand, so concurrent calls never race and every
    // call after the first is refused with an ERROR line.
    void send_response(std::string const& status, Headers const& headers, std::string const& body);
    void send_response(std::string const& status, std::string const& body);

private:
    typedef boost::asio::strand<boost::asio::io_context::executor_type> Strand;

    boost::system::error_code receive_now(std::size_t limit);
    void read_line();
    void handle_line(boost::system::error_code const& ec, std::size_t bytes);
    std::size_t buffered_line() const;
    bool dispatch_line(std::string const& line);
    void read_body();
    void handle_body(boost::system::error_code const& ec);
    void handle_request();
    void move_response(std::string status, Headers const& headers, std::string body);
    void do_send_response(std::string const& status, Headers const& headers, std::string const& body);
    void handle_write(boost::system::error_code const& ec);
    void setup_deadline_timer();
    void cancel_deadline_timer();
    void handle_deadline(boost::system::error_code const& ec);

    std::string name_;
    Strand strand_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::streambuf buffer_;
    std::string response_;
    boost::asio::deadline_timer deadline_timer_;
    boost::posix_time::time_duration const timeout_;
    RequestParser parser_;
    RequestHandler& handler_;
    // Shared so that a connection outliving the server (its last Responder
    // copy held elsewhere) can still deregister safely.
    boost::shared_ptr<ConnectionTracker> const tracker_;
    bool registered_;
    // The peer's endpoint, valid once get_name has read it.
    boost::asio::ip::tcp::endpoint peer_;
    bool peer_known_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
