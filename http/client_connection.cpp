#include "http/client_connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/syscall.hpp"
#include "http/connection_tracker.hpp"
#include "http/request_error.hpp"
#include "http/request_handler.hpp"
#include "http/response.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
namespace ph = boost::placeholders;
using boost::posix_time::microsec_clock;

namespace {
char const CRLF[] = "\r\n";
// The most one read without waiting takes, as the asynchronous reads do.
std::size_t const RECEIVE_STEP = 65536;
}  // namespace

ClientConnection::ClientConnection(asio::io_context& io, boost::shared_ptr<ConnectionTracker> const& tracker,
                                   RequestHandler& handler, boost::posix_time::time_duration const& timeout)
    : strand_(io.get_executor()),
      socket_(io),
      buffer_(RequestLimits::buffer),
      deadline_timer_(io),
      timeout_(timeout),
      handler_(handler),
      tracker_(tracker),
      registered_(false),
      peer_known_(false) {}

ClientConnection::~ClientConnection() {
    if (registered_)
        tracker_->connection_closed();
}

void ClientConnection::start() {
    tracker_->connection_opened();
    registered_ = true;
    get_name();
    read_line();
}

// One read of what the peer has sent already, without waiting: would_block
// when nothing is there (or the buffer is full), and the caller then waits
// with an asynchronous read, which reports a full buffer as before. At most
// limit bytes, 0 for the step the asynchronous line read would take.
boost::system::error_code ClientConnection::receive_now(std::size_t limit) {
    std::size_t const room = buffer_.max_size() - buffer_.size();
    std::size_t const step =
        limit != 0 ? limit : std::max<std::size_t>(512, buffer_.capacity() - buffer_.size());
    std::size_t const size = std::min(std::min(room, step), RECEIVE_STEP);
    if (size == 0)
        return asio::error::would_block;
    asio::mutable_buffer const space = buffer_.prepare(size);
    for (;;) {
        ssize_t const got = ::recv(socket_.native_handle(), space.data(), space.size(), MSG_DONTWAIT);
        if (got > 0) {
            buffer_.commit(static_cast<std::size_t>(got));
            return boost::system::error_code();
        }
        if (got == 0)
            return asio::error::eof;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return asio::error::would_block;
        return boost::system::error_code(errno, asio::error::get_system_category());
    }
}

std::string const& ClientConnection::get_name() {
    if (name_.empty()) {
        boost::system::error_code ec;
        peer_ = socket_.remote_endpoint(ec);
        if (ec) {
            name_ = "unknown";
        } else {
            peer_known_ = true;
            std::ostringstream stream;
            stream << peer_;
            name_ = stream.str();
        }
    }
    return name_;
}

void ClientConnection::read_line() {
    setup_deadline_timer();
    asio::async_read_until(socket_, buffer_, CRLF,
                           asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_line, shared_from_this(),
                                                                    ph::_1, ph::_2)));
}

// The length of the first line held in buffer_ with its CRLF, as
// async_read_until would report it; 0 when no complete line is held.
std::size_t ClientConnection::buffered_line() const {
    asio::streambuf::const_buffers_type const data = buffer_.data();
    char const* const begin = static_cast<char const*>(data.data());
    char const* const end = begin + data.size();
    char const* const found = std::search(begin, end, CRLF, CRLF + 2);
    return found == end ? 0 : static_cast<std::size_t>(found - begin) + 2;
}

void ClientConnection::handle_line(boost::system::error_code const& ec, std::size_t bytes) {
    if (ec == asio::error::operation_aborted)
        return;
    cancel_deadline_timer();
    try {
        if (ec) {
            if (ec == asio::error::eof)
                throw RequestError("400 Bad Request", "Malformed HTTP request");
            if (buffer_.size() >= buffer_.max_size())
                throw RequestError("413 Request Entity Too Large", "Request is too big.");
            LOG(ERROR) << "Failed to receive data from " << get_name() << ": " << ec.message();
            return;  // Nothing more is started: the connection goes away.
        }
        // Lines that arrived together are taken in turn here: only a line not
        // yet complete in the buffer waits for the network.
        for (;;) {
            asio::streambuf::const_buffers_type const data = buffer_.data();
            std::string const line(asio::buffers_begin(data), asio::buffers_begin(data) + (bytes - 2));
            buffer_.consume(bytes);
            if (!dispatch_line(line))
                return;
            bytes = buffered_line();
            while (bytes == 0) {
                boost::system::error_code const now = receive_now(0);
                if (now == asio::error::would_block) {
                    read_line();
                    return;
                }
                if (now) {
                    handle_line(now, 0);  // as the asynchronous read would have reported it
                    return;
                }
                bytes = buffered_line();
            }
        }
    } catch (RequestError const& e) {
        LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << e.what();
        do_send_response(e.status, Headers(), e.what());
    } catch (std::exception const& e) {
        LOG(ERROR) << "Internal error during processing a request from " << get_name() << ": " << e.what();
        do_send_response("500 Internal Server Error", Headers(), "");
    }
}

// True when the next thing to read is another line.
bool ClientConnection::dispatch_line(std::string const& line) {
    switch (parser_.handle_line(line)) {
    case RequestParser::request_line:
    case RequestParser::header_lines:
        return true;
    case RequestParser::body:
        read_body();
        break;
    case RequestParser::complete:
        handle_request();
        break;
    }
    return false;
}

void ClientConnection::read_body() {
    std::size_t const length = parser_.content_length();
    std::size_t held = buffer_.size();
    while (held < length) {
        boost::system::error_code const now = receive_now(length - held);
        if (now == asio::error::would_block)
            break;
        if (now) {
            handle_body(now);  // as the asynchronous read would have reported it
            return;
        }
        held = buffer_.size();
    }
    if (held >= length) {
        handle_request();
        return;
    }
    setup_deadline_timer();
    asio::async_read(socket_, buffer_, asio::transfer_at_least(std::min(length - held, RequestLimits::body_read_step)),
                     asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_body, shared_from_this(),
                                                              ph::_1)));
}

void ClientConnection::handle_body(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;
    cancel_deadline_timer();
    bool const complete = buffer_.size() >= parser_.content_length();
    if (ec == asio::error::eof) {
        if (complete)
            handle_request();
        else
            do_send_response("400 Bad Request", Headers(), "Invalid Content-Length.");
    } else if (ec) {
        LOG(ERROR) << "Failed to receive a request body from " << get_name() << ": " << ec.message();
    } else if (complete) {
        handle_request();
    } else {
        read_body();
    }
}

void ClientConnection::handle_request() {
    asio::streambuf::const_buffers_type const data = buffer_.data();
    std::string const body(asio::buffers_begin(data), asio::buffers_begin(data) + parser_.content_length());

    boost::shared_ptr<ClientConnection> const self = shared_from_this();
    Responder const responder = [self](std::string status, Headers const& headers, std::string body) {
        self->move_response(std::move(status), headers, std::move(body));
    };

    // The peer as get_name found it at start; asked again only when it was
    // not known then.
    boost::system::error_code ec;
    asio::ip::tcp::endpoint const peer = peer_known_ ? peer_ : socket_.remote_endpoint(ec);
    if (ec) {
        LOG(ERROR) << "Request handler crashed during processing the request to " << parser_.target() << ": "
                   << boost::system::system_error(ec, "remote_endpoint").what();
        return;
    }

    // A malformed escape in the query is the client's fault, so it gets a 400
    // like every other unparsable request rather than a silent close.
    std::unique_ptr<Request> request;
    try {
        request.reset(new Request(peer, parser_.method(), parser_.target(), parser_.headers(), body, responder));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << e.what();
        do_send_response("400 Bad Request", Headers(), e.what());
        return;
    }

    try {
        handler_.handle(*request);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Request handler crashed during processing the request to " << parser_.target() << ": "
                   << e.what();
    }
}

void ClientConnection::send_response(std::string const& status, Headers const& headers, std::string const& body) {
    move_response(status, headers, body);
}

// Takes the texts over rather than copying them again on the way to the
// strand.
void ClientConnection::move_response(std::string status, Headers const& headers, std::string body) {
    boost::shared_ptr<ClientConnection> self = shared_from_this();
    asio::dispatch(strand_, [self, status = std::move(status), headers, body = std::move(body)]() {
        self->do_send_response(status, headers, body);
    });
}

void ClientConnection::send_response(std::string const& status, std::string const& body) {
    send_response(status, Headers(), body);
}

void ClientConnection::do_send_response(std::string const& status, Headers const& headers, std::string const& body) {
    if (!response_.empty()) {
        LOG(ERROR) << "Attempt to response on request to " << parser_.target()
                   << " on which response already has been sent to.";
        return;
    }
    response_ = compose_response(status, headers, body);
    // What the socket takes at once is written here, without a wait and so
    // without a deadline; only a rest that has to wait for the peer goes
    // through an asynchronous write under the deadline. A failure is left to
    // that write, which reports it as before.
    std::size_t const written = send_without_waiting(socket_.native_handle(), response_.data(), response_.size());
    if (written == response_.size()) {
        handle_write(boost::system::error_code());
        return;
    }
    setup_deadline_timer();
    asio::async_write(socket_, asio::buffer(response_) + written,
                      asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_write, shared_from_this(),
                                                               ph::_1)));
}

void ClientConnection::handle_write(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;
    cancel_deadline_timer();
    if (ec) {
        LOG(ERROR) << "Failed to send a reply to " << get_name() << ": " << ec.message();
        return;
    }
    boost::system::error_code shutdown_ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, shutdown_ec);
    if (shutdown_ec && shutdown_ec != asio::error::not_connected)
        LOG(ERROR) << "Failed to shutdown " << get_name() << " socket: " << shutdown_ec.message();
    // The chain ends here: the socket closes when the last owner goes.
}

void ClientConnection::setup_deadline_timer() {
    deadline_timer_.expires_at(microsec_clock::universal_time() + timeout_);
    deadline_timer_.async_wait(
        asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_deadline, shared_from_this(), ph::_1)));
}

// Moving the expiry to infinity both cancels a pending wait and lets
// handle_deadline recognise a wait that had already expired and been queued
// when the operation it guarded completed.
void ClientConnection::cancel_deadline_timer() {
    deadline_timer_.expires_at(boost::posix_time::pos_infin);
}

void ClientConnection::handle_deadline(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;
    if (deadline_timer_.expires_at() > microsec_clock::universal_time())
        return;
    LOG(ERROR) << "Connection with " << get_name() << " is broken. Closing it.";
    boost::system::error_code ignored;
    socket_.close(ignored);
}

}  // namespace http
}  // namespace net
}  // namespace orv
