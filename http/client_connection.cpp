#include "http/client_connection.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/log_text.hpp"
#include "common/syscall.hpp"
#include "http/connection_tracker.hpp"
#include "http/request_error.hpp"
#include "http/request_handler.hpp"
#include "http/response.hpp"
#include "http/server_stats.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
namespace ph = boost::placeholders;

namespace {

// One turn of the event loop takes at most this many lines or bytes of one
// connection before the thread serves others: a client that streams header
// lines as fast as it can must not hold a pool thread.
std::size_t const LINES_PER_TURN = 64;
std::size_t const BYTES_PER_TURN = 65536;
// A line read never takes less room than this, so that a request that fits
// in a few hundred bytes arrives in one read.
std::size_t const MIN_LINE_READ = 512;

}  // namespace

ClientConnection::ClientConnection(asio::io_context& io, asio::ip::tcp const& protocol, int fd,
                                   boost::shared_ptr<ConnectionTracker> const& tracker, RequestHandler& handler,
                                   Deadlines const& deadlines, ServerStats* stats)
    : strand_(io.get_executor()),
      stats_(stats),
      status_code_(0),
      protocol_(protocol),
      fd_(fd),
      socket_(io),
      buffer_(RequestLimits::buffer),
      deadline_timer_(io),
      deadlines_(deadlines),
      handler_(handler),
      tracker_(tracker),
      registered_(false),
      responded_(false),
      written_(0) {}

ClientConnection::~ClientConnection() {
    if (fd_ != -1)
        close_descriptor(fd_);
    if (registered_)
        tracker_->connection_closed();
}

// Nothing else knows the connection yet, so the first turn runs here rather
// than on the strand.
void ClientConnection::start() {
    accepted_ = Clock::now();
    progress_deadline_ = accepted_ + deadlines_.wait;
    tracker_->connection_opened();
    registered_ = true;
    get_name();
    read_request();
}

std::string const& ClientConnection::get_name() {
    if (!peer_.known())
        peer_ = Peer::of_socket(descriptor());
    return peer_.name;
}

int ClientConnection::descriptor() {
    return fd_ != -1 ? fd_ : socket_.native_handle();
}

// Hands the socket to the event loop, for a wait.
boost::system::error_code ClientConnection::watch() {
    boost::system::error_code ec;
    if (fd_ == -1)
        return ec;
    socket_.assign(protocol_, fd_, ec);
    if (!ec)
        fd_ = -1;
    return ec;
}

// The read loop: lets the reader take what is buffered, then reads what the
// peer has already sent, and waits only when nothing is there. A turn ends
// after LINES_PER_TURN lines or BYTES_PER_TURN bytes and the rest continues
// from the back of the queue. It is deferred rather than posted: the turn
// goes to the back of the queue all the same, but no other pool thread is
// woken just to run it.
void ClientConnection::read_request() {
    for (std::size_t turn_bytes = 0;;) {
        try {
            asio::streambuf::const_buffers_type const data = buffer_.data();
            std::size_t const consumed =
                reader_.advance(static_cast<char const*>(data.data()), data.size(), LINES_PER_TURN);
            buffer_.consume(consumed);
            note_progress(consumed);
            if (stats_ != nullptr && request_started_ == Clock::time_point() &&
                reader_.parser().state() != RequestParser::request_line)
                request_started_ = Clock::now();
        } catch (RequestError const& e) {
            refuse(e);
            return;
        } catch (std::exception const& e) {
            LOG(ERROR) << "Internal error during processing a request from " << get_name() << ": " << e.what();
            respond("500 Internal Server Error", Headers(), "");
            return;
        }
        if (reader_.next() == RequestReader::handle_request) {
            handle_request();
            return;
        }
        if (reader_.next() == RequestReader::take_turn || turn_bytes >= BYTES_PER_TURN) {
            asio::defer(strand_, boost::bind(&ClientConnection::read_request, shared_from_this()));
            return;
        }
        long const got = receive_now();
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_readable();
            return;
        }
        if (got <= 0) {
            receive_failed(got == 0 ? asio::error::eof
                                    : boost::system::error_code(errno, asio::error::get_system_category()));
            return;
        }
        turn_bytes += static_cast<std::size_t>(got);
    }
}

// One read of what the peer has sent already: the byte count, 0 at the end
// of the stream, or -1 with errno. A line read fills the room the buffer has
// (at least MIN_LINE_READ); a body read takes what the body still needs.
long ClientConnection::receive_now() {
    std::size_t const held = buffer_.size();
    std::size_t const room = buffer_.max_size() - held;
    std::size_t step = std::max(MIN_LINE_READ, buffer_.capacity() - held);
    if (reader_.next() == RequestReader::read_body)
        step = reader_.parser().content_length() - held;
    step = std::min(std::min(step, room), BYTES_PER_TURN);
    // A full buffer holds no complete line; the reader has already refused it.
    asio::mutable_buffer const space = buffer_.prepare(std::max<std::size_t>(step, 1));
    ssize_t const got = receive_without_waiting(descriptor(), space.data(), space.size());
    if (got > 0)
        buffer_.commit(static_cast<std::size_t>(got));
    return static_cast<long>(got);
}

// A per-wait deadline guards one unit of progress: a whole line, or a body
// step of min(remaining, one read step) bytes. Bytes that trickle in without
// completing one do not move it.
void ClientConnection::note_progress(std::size_t consumed) {
    if (reader_.next() == RequestReader::read_body) {
        if (buffer_.size() < step_goal_)
            return;
        step_goal_ = buffer_.size() + reader_.wanted(buffer_.size());
    } else if (consumed == 0) {
        return;
    }
    progress_deadline_ = Clock::now() + deadlines_.wait;
}

// The wait ends at the per-wait deadline, but never past the budget of the
// part being read.
void ClientConnection::wait_readable() {
    boost::system::error_code const ec = watch();
    if (ec) {
        receive_failed(ec);
        return;
    }
    Clock::duration const budget =
        reader_.next() == RequestReader::read_body ? deadlines_.request : deadlines_.head;
    arm_deadline(std::min(progress_deadline_, accepted_ + budget));
    socket_.async_wait(asio::ip::tcp::socket::wait_read,
                       asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_readable,
                                                                shared_from_this(), ph::_1)));
}

void ClientConnection::handle_readable(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;  // the deadline closed the socket
    cancel_deadline();
    if (ec) {
        receive_failed(ec);
        return;
    }
    read_request();
}

// The one end of every failed read: what the peer's close or a network error
// means depends on whether the head or the body was being read.
void ClientConnection::receive_failed(boost::system::error_code const& ec) {
    if (reader_.next() == RequestReader::read_body) {
        if (ec != asio::error::eof) {
            LOG(ERROR) << "Failed to receive a request body from " << get_name() << ": " << ec.message();
        } else if (reader_.body_complete(buffer_.size())) {
            handle_request();
        } else {
            respond("400 Bad Request", Headers(), "Invalid Content-Length.");
        }
        return;
    }
    if (ec == asio::error::eof) {
        refuse(RequestError("400 Bad Request", "Malformed HTTP request"));
        return;
    }
    LOG(ERROR) << "Failed to receive data from " << get_name() << ": " << ec.message();
    // Nothing more is started: the connection goes away with its last owner.
}

void ClientConnection::refuse(RequestError const& error) {
    LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << error.what();
    respond(error.status, Headers(), error.what());
}

void ClientConnection::handle_request() {
    RequestParser const& parser = reader_.parser();
    asio::streambuf::const_buffers_type const data = buffer_.data();
    char const* const bytes = static_cast<char const*>(data.data());
    std::string body(bytes, bytes + parser.content_length());

    boost::shared_ptr<ClientConnection> const self = shared_from_this();
    Responder const responder = [self](std::string status, Headers const& headers, std::string body) {
        self->send_response(std::move(status), headers, std::move(body));
    };

    // The peer as get_name found it at start; asked again only when it was
    // not known then (a failed look-up leaves its errno).
    get_name();
    if (!peer_.known()) {
        LOG(ERROR) << "Request handler crashed during processing the request to "
                   << logging::client_text(parser.target()) << ": "
                   << boost::system::system_error(boost::system::error_code(errno, asio::error::get_system_category()),
                                                  "remote_endpoint").what();
        return;
    }

    // A malformed escape in the query is the client's fault, so it gets a 400
    // like every other unparsable request rather than a silent close.
    std::unique_ptr<Request> request;
    try {
        request.reset(new Request(peer_, parser.method(), parser.target(), parser.headers(), std::move(body), responder));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << e.what();
        respond("400 Bad Request", Headers(), e.what());
        return;
    }

    try {
        handler_.handle(*request);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Request handler crashed during processing the request to "
                   << logging::client_text(parser.target()) << ": " << e.what();
    }
}

void ClientConnection::send_response(std::string status, Headers const& headers, std::string body) {
    boost::shared_ptr<ClientConnection> self = shared_from_this();
    asio::dispatch(strand_, [self, status = std::move(status), headers, body = std::move(body)]() mutable {
        self->respond(status, headers, std::move(body));
    });
}

void ClientConnection::send_response(std::string const& status, std::string const& body) {
    send_response(status, Headers(), body);
}

// On the strand: produces the one response and starts writing it.
void ClientConnection::respond(std::string const& status, Headers const& headers, std::string body) {
    if (responded_) {
        LOG(ERROR) << "Attempt to response on request to " << logging::client_text(reader_.parser().target())
                   << " on which response already has been sent to.";
        return;
    }
    responded_ = true;
    status_code_ = std::atoi(status.c_str());
    head_ = compose_head(status, headers, body.size());
    body_ = std::move(body);
    write_response();
}

// The part of the response not yet written.
std::array<asio::const_buffer, 2> ClientConnection::unsent() const {
    std::array<asio::const_buffer, 2> buffers = {{asio::buffer(head_), asio::buffer(body_)}};
    std::size_t skip = written_;
    for (asio::const_buffer& buffer : buffers) {
        std::size_t const drop = std::min(skip, buffer.size());
        buffer += drop;
        skip -= drop;
    }
    return buffers;
}

// What the socket takes at once goes out here in one gathering call, without
// a wait and so without a deadline. A rest that has to wait for the peer goes
// through asynchronous writes, each of which must move min(rest, one body
// step) within the per-wait deadline: a large reply to a slow reader may take
// as long as it needs while the reader keeps taking bytes, but a reader that
// stops is cut off.
void ClientConnection::write_response() {
    std::array<asio::const_buffer, 2> const now = unsent();
    struct iovec const vectors[2] = {{const_cast<void*>(now[0].data()), now[0].size()},
                                     {const_cast<void*>(now[1].data()), now[1].size()}};
    written_ += send_without_waiting(descriptor(), vectors, 2);
    std::size_t const rest = head_.size() + body_.size() - written_;
    if (rest == 0) {
        finish_response();
        return;
    }
    boost::system::error_code const ec = watch();
    if (ec) {
        LOG(ERROR) << "Failed to send a reply to " << get_name() << ": " << ec.message();
        return;
    }
    arm_deadline(Clock::now() + deadlines_.wait);
    asio::async_write(socket_, unsent(), asio::transfer_at_least(std::min(rest, RequestLimits::body_read_step)),
                      asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_write, shared_from_this(),
                                                               ph::_1, ph::_2)));
}

void ClientConnection::handle_write(boost::system::error_code const& ec, std::size_t bytes) {
    if (ec == asio::error::operation_aborted)
        return;
    cancel_deadline();
    written_ += bytes;
    if (ec) {
        LOG(ERROR) << "Failed to send a reply to " << get_name() << ": " << ec.message();
        return;
    }
    write_response();
}

void ClientConnection::finish_response() {
    if (stats_ != nullptr)
        stats_->response(status_code_, request_started_ == Clock::time_point() ? Clock::duration::zero()
                                                                              : Clock::now() - request_started_);
    // A watched socket leaves the event loop before it is shut down and
    // closed: shutting down a socket that the loop still watches wakes a pool
    // thread for an event nobody waits for.
    int fd = fd_;
    fd_ = -1;
    if (fd == -1) {
        boost::system::error_code ec;
        fd = socket_.release(ec);
        if (ec)
            return;
    }
    if (::shutdown(fd, SHUT_RDWR) == -1 && errno != ENOTCONN)
        LOG(ERROR) << "Failed to shutdown " << get_name() << " socket: " << error_string(errno);
    close_descriptor(fd);
    // The chain ends here; the connection goes with its last owner.
}

void ClientConnection::arm_deadline(Clock::time_point expiry) {
    deadline_timer_.expires_at(expiry);
    deadline_timer_.async_wait(
        asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_deadline, shared_from_this(), ph::_1)));
}

// Moving the expiry to the end of time both cancels a pending wait and lets
// handle_deadline recognise a wait that had already expired and been queued
// when the operation it guarded completed.
void ClientConnection::cancel_deadline() {
    deadline_timer_.expires_at(Clock::time_point::max());
}

void ClientConnection::handle_deadline(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted || deadline_timer_.expiry() > Clock::now())
        return;
    LOG(ERROR) << "Connection with " << get_name() << " is broken. Closing it.";
    // A deadline is armed only for a wait, so the loop watches the socket.
    boost::system::error_code ignored;
    socket_.close(ignored);
}

}  // namespace http
}  // namespace net
}  // namespace orv
