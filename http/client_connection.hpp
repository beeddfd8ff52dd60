#ifndef ORV_HTTP_CLIENT_CONNECTION_HPP
#define ORV_HTTP_CLIENT_CONNECTION_HPP

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include "http/connection_settings.hpp"
#include "http/connection_tracker.hpp"
#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

class Exchange;
class RequestError;
class RequestHandler;

// Serves one accepted stream socket (TCP or UNIX): reads a request, hands
// it to the handler, writes its one response, and then either shuts the
// socket down or, on a persistent connection, waits for the next request.
// Requests sent back to back are answered in order, one at a time; bytes of
// the next request that arrived with the current one stay in the buffer.
//
// The socket joins the event loop only when the connection has to wait for
// it: most requests arrive whole and most replies fit the socket's send
// buffer, and those are served without the loop ever watching the socket.
// The object owns itself through the shared pointers bound into its pending
// operations and into every Responder; it dies with the last of them.
// Everything but send_response and close_idle runs on the connection's
// strand.
class ClientConnection : public boost::enable_shared_from_this<ClientConnection> {
public:
    typedef std::map<std::string, std::string> Headers;

    // Takes over `fd`, an accepted stream socket.
    ClientConnection(boost::asio::io_context& io, int fd, boost::shared_ptr<ConnectionTracker> const& tracker,
                     RequestHandler& handler, ConnectionSettings const& settings = ConnectionSettings());
    ~ClientConnection();

    // Registers with the tracker (throws orv::Exception at the limit) and
    // starts reading the first request.
    void start();

    // The peer as "address:port" (or "unix"), found at start; "unknown" when
    // the peer was already gone. Behind a trusted proxy that sent a PROXY
    // protocol header: the client it names.
    std::string const& get_name();
    // The peer itself (not a client a proxy names), once get_name found it.
    Peer const& peer() const { return peer_; }

    // Produces the one response of the exchange. Callable from any thread:
    // the work moves onto the connection's strand, so concurrent calls never
    // race, and every call after the first is refused with an ERROR line.
    void send_response(boost::shared_ptr<Exchange> const& exchange, std::string status, Headers const& headers,
                       std::string body);

    // Calls `gone` once if the client closes or resets the connection while
    // the exchange waits for its answer; from any thread.
    void watch_client(boost::shared_ptr<Exchange> const& exchange, boost::function<void()> const& gone);

    // Closes the connection if it is waiting idle for a request; from any
    // thread (the tracker's, when the connection gives way or the server
    // stops).
    void close_idle();

private:
    typedef boost::asio::strand<boost::asio::io_context::executor_type> Strand;
    typedef std::chrono::steady_clock Clock;
    enum Phase { reading, handling, writing, idle, closed };
    // What follows a completed write.
    enum AfterWrite { finish_exchange, resume_reading };

    int descriptor();
    boost::system::error_code watch();
    void begin_exchange(Clock::time_point began);
    bool take_proxy_header();
    Peer request_client(RequestParser const& request) const;
    void read_request();
    bool parse_buffered(std::size_t turn_bytes);
    bool check_head();
    long receive_now();
    void wait_readable();
    void handle_readable(boost::system::error_code const& ec);
    void handle_idle_readable();
    void receive_failed(boost::system::error_code const& ec);
    void refuse(RequestError const& error);
    void hand_over();
    void handle_client_activity(boost::shared_ptr<Exchange> const& exchange, boost::system::error_code const& ec);
    void respond(Exchange& exchange, std::string const& status, Headers const& headers, std::string body);
    void respond_now(std::string const& status, std::string const& body);

    void write(AfterWrite after);
    std::array<boost::asio::const_buffer, 2> unsent() const;
    void wait_writable(std::size_t rest);
    void handle_writable(boost::system::error_code const& ec);
    void write_done();
    void finish_response();
    void wait_idle();
    void close_socket(bool shut_down);
    void report_second_answer(Exchange const& exchange);
    void report_send_failure(boost::system::error_code const& ec);
    void report_broken();
    void shutdown_socket(int fd);
    void arm_deadline(Clock::time_point expiry);
    void cancel_deadline();
    void handle_deadline(boost::system::error_code const& ec);

    Strand strand_;
    ConnectionSettings const settings_;
    Phase phase_;
    // The socket while the event loop does not watch it; -1 once socket_
    // has taken it over (or it was closed).
    int fd_;
    boost::asio::posix::stream_descriptor socket_;
    boost::asio::streambuf buffer_;
    boost::asio::steady_timer deadline_timer_;
    RequestHandler& handler_;
    // Shared so that a connection outliving the server (its last Responder
    // copy held elsewhere) can still deregister safely.
    boost::shared_ptr<ConnectionTracker> const tracker_;
    ConnectionTracker::Slot slot_;
    Peer peer_;
    // Who the requests come from: the peer, or the client a trusted proxy's
    // PROXY header named.
    Peer client_;
    // The peer is a trusted proxy; its PROXY header is still to be read.
    bool proxied_;
    bool awaiting_proxy_header_;
    bool client_from_header_;
    boost::shared_ptr<Exchange> exchange_;
    // Requests begun on this connection, the current one included.
    unsigned requests_;
    // The bytes being written: a response (or an interim one) as head_
    // then body_, written_ of them sent.
    std::string head_;
    std::string body_;
    std::size_t written_;
    AfterWrite after_write_;
    // Of a write that waits: bytes that must move before the deadline is
    // moved on, and how many have since it was armed.
    std::size_t write_goal_;
    std::size_t write_moved_;
    Clock::time_point idle_deadline_;
    // Told when the client of the exchange with the handler goes away.
    boost::function<void()> client_gone_;
    bool watching_client_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
