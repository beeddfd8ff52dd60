#include "http/client_connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/log_text.hpp"
#include "common/syscall.hpp"
#include "http/exchange.hpp"
#include "http/proxy_header.hpp"
#include "http/request_error.hpp"
#include "http/request_handler.hpp"
#include "http/server_stats.hpp"
#include "http/text.hpp"
#include "http/trusted_proxies.hpp"

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

char const CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";

boost::system::error_code last_error() {
    return boost::system::error_code(errno, asio::error::get_system_category());
}

}  // namespace

ClientConnection::ClientConnection(asio::io_context& io, int fd, boost::shared_ptr<ConnectionTracker> const& tracker,
                                   RequestHandler& handler, ConnectionSettings const& settings)
    : strand_(io.get_executor()),
      settings_(settings),
      phase_(reading),
      fd_(fd),
      socket_(io),
      buffer_(RequestLimits::buffer),
      deadline_timer_(io),
      handler_(handler),
      tracker_(tracker),
      proxied_(false),
      awaiting_proxy_header_(false),
      client_from_header_(false),
      requests_(0),
      written_(0),
      after_write_(finish_exchange),
      write_goal_(0),
      write_moved_(0),
      watching_client_(false) {}

ClientConnection::~ClientConnection() {
    if (fd_ != -1)
        close_descriptor(fd_);
    tracker_->connection_closed(slot_);
}

// Nothing else knows the connection yet, so the first turn runs here rather
// than on the strand.
void ClientConnection::start() {
    Clock::time_point const accepted = Clock::now();
    get_name();
    proxied_ = settings_.trusted != nullptr && settings_.trusted->trusts(peer_);
    // A proxy carries many clients: it has no share of its own.
    tracker_->connection_opened(slot_, shared_from_this(), proxied_ ? nullptr : &peer_);
    awaiting_proxy_header_ = proxied_;
    begin_exchange(accepted);
    read_request();
}

std::string const& ClientConnection::get_name() {
    if (!peer_.known()) {
        peer_ = Peer::of_socket(descriptor());
        client_ = peer_;
    }
    return client_.name;
}

// The first request's budgets count from the accept, a later one's from its
// first byte.
void ClientConnection::begin_exchange(Clock::time_point began) {
    exchange_ = boost::make_shared<Exchange>(began, settings_.deadlines);
    if (++requests_ > 1 && settings_.stats != nullptr)
        settings_.stats->reused();
}

int ClientConnection::descriptor() {
    return fd_ != -1 ? fd_ : socket_.native_handle();
}

// Hands the socket to the event loop, for a wait.
boost::system::error_code ClientConnection::watch() {
    boost::system::error_code ec;
    if (fd_ == -1)
        return ec;
    socket_.assign(fd_, ec);
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
        if (awaiting_proxy_header_ && !take_proxy_header())
            return;
        if (!awaiting_proxy_header_ && !parse_buffered(turn_bytes))
            return;
        long const got = receive_now();
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_readable();
            return;
        }
        if (got <= 0) {
            receive_failed(got == 0 ? asio::error::eof : last_error());
            return;
        }
        turn_bytes += static_cast<std::size_t>(got);
    }
}

// Lets the reader take what is buffered. False when the connection has
// moved on: to the handler, to an answer, or to the back of the queue.
bool ClientConnection::parse_buffered(std::size_t turn_bytes) {
    Exchange& exchange = *exchange_;
    try {
        asio::streambuf::const_buffers_type const data = buffer_.data();
        std::size_t const consumed = exchange.reader().advance(static_cast<char const*>(data.data()),
                                                                data.size(), LINES_PER_TURN);
        buffer_.consume(consumed);
        Clock::time_point const now = Clock::now();
        exchange.note_progress(consumed, buffer_.size(), now);
        if (settings_.stats != nullptr && exchange.request().state() != RequestParser::request_line)
            exchange.mark_started(now);
        if (!check_head())
            return false;
    } catch (RequestError const& e) {
        refuse(e);
        return false;
    } catch (std::exception const& e) {
        LOG(ERROR) << "Internal error during processing a request from " << get_name() << ": " << e.what();
        respond_now("500 Internal Server Error", "");
        return false;
    }
    RequestReader::Next const next = exchange.reader().next();
    if (next == RequestReader::handle_request) {
        hand_over();
        return false;
    }
    if (next == RequestReader::take_turn || turn_bytes >= BYTES_PER_TURN) {
        asio::defer(strand_, boost::bind(&ClientConnection::read_request, shared_from_this()));
        return false;
    }
    return true;
}

// Once the head is whole, what persistent connections need of it: a body
// must be framed by its length, and a client that waits to be told to send
// its body is told so. False when the connection now writes instead.
bool ClientConnection::check_head() {
    Exchange& exchange = *exchange_;
    RequestParser const& request = exchange.request();
    if (exchange.head_checked || request.state() == RequestParser::request_line ||
        request.state() == RequestParser::header_lines)
        return true;
    exchange.head_checked = true;
    if (!settings_.keep_alive.enabled())
        return true;
    if (request.method() == Request::POST && request.headers().count("transfer-encoding") != 0)
        throw RequestError("411 Length Required", "Content-Length is missing.");
    auto const expect = request.headers().find("expect");
    if (exchange.reader().next() != RequestReader::read_body || request.version() != "1.1" ||
        expect == request.headers().end() || detail::to_lower(expect->second) != "100-continue")
        return true;
    head_.assign(CONTINUE);
    body_.clear();
    write(resume_reading);
    return false;
}

// One read of what the peer has sent already: the byte count, 0 at the end
// of the stream, or -1 with errno. A line read fills the room the buffer has
// (at least MIN_LINE_READ); a body read takes what the body still needs.
long ClientConnection::receive_now() {
    RequestReader const& reader = exchange_->reader();
    std::size_t const held = buffer_.size();
    std::size_t const room = buffer_.max_size() - held;
    std::size_t step = std::max(MIN_LINE_READ, buffer_.capacity() - held);
    if (reader.next() == RequestReader::read_body)
        step = reader.parser().content_length() - held;
    step = std::min(std::min(step, room), BYTES_PER_TURN);
    // A full buffer holds no complete line; the reader has already refused it.
    asio::mutable_buffer const space = buffer_.prepare(std::max<std::size_t>(step, 1));
    ssize_t const got = receive_without_waiting(descriptor(), space.data(), space.size());
    if (got > 0)
        buffer_.commit(static_cast<std::size_t>(got));
    return static_cast<long>(got);
}

void ClientConnection::wait_readable() {
    boost::system::error_code const ec = watch();
    if (ec) {
        receive_failed(ec);
        return;
    }
    arm_deadline(phase_ == idle ? idle_deadline_ : exchange_->wait_deadline());
    socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                       asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_readable,
                                                                shared_from_this(), ph::_1)));
}

void ClientConnection::handle_readable(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;  // the deadline or close_idle closed the socket
    cancel_deadline();
    if (phase_ == idle) {
        handle_idle_readable();
        return;
    }
    if (ec) {
        receive_failed(ec);
        return;
    }
    read_request();
}

// Between requests a close, a reset or the tracker taking the connection
// away are normal ends: nothing is logged and nothing answered.
void ClientConnection::handle_idle_readable() {
    long const got = receive_now();
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        wait_readable();
        return;
    }
    if (got <= 0 || !tracker_->leave_idle(slot_)) {
        close_socket(false);
        return;
    }
    phase_ = reading;
    begin_exchange(Clock::now());
    read_request();
}

// The one end of every failed read: what the peer's close or a network error
// means depends on whether the head or the body was being read.
void ClientConnection::receive_failed(boost::system::error_code const& ec) {
    RequestReader const& reader = exchange_->reader();
    if (reader.next() == RequestReader::read_body) {
        if (ec != asio::error::eof) {
            LOG(ERROR) << "Failed to receive a request body from " << get_name() << ": " << ec.message();
        } else if (reader.body_complete(buffer_.size())) {
            hand_over();
        } else {
            respond_now("400 Bad Request", "Invalid Content-Length.");
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
    respond_now(error.status, error.what());
}

// The body leaves the buffer with the request, so that what follows it is
// the start of the next request.
void ClientConnection::hand_over() {
    phase_ = handling;
    tracker_->set_state(slot_, ConnectionTracker::working);
    boost::shared_ptr<Exchange> const exchange = exchange_;
    RequestParser const& parser = exchange->request();
    asio::streambuf::const_buffers_type const data = buffer_.data();
    char const* const bytes = static_cast<char const*>(data.data());
    std::string body(bytes, bytes + parser.content_length());
    buffer_.consume(parser.content_length());

    boost::shared_ptr<ClientConnection> const self = shared_from_this();
    Responder const responder = [self, exchange](std::string status, Headers const& headers, std::string body) {
        self->send_response(exchange, std::move(status), headers, std::move(body));
    };
    ClientWatch const watch = [self, exchange](boost::function<void()> const& gone) {
        self->watch_client(exchange, gone);
    };

    // The peer as get_name found it at start; asked again only when it was
    // not known then (a failed look-up leaves its errno).
    get_name();
    if (!peer_.known()) {
        LOG(ERROR) << "Request handler crashed during processing the request to "
                   << logging::client_text(parser.target()) << ": "
                   << boost::system::system_error(last_error(), "remote_endpoint").what();
        return;
    }

    // A malformed escape in the query is the client's fault, so it gets a 400
    // like every other unparsable request rather than a silent close.
    std::unique_ptr<Request> request;
    try {
        request.reset(new Request(request_client(parser), parser.method(), parser.target(), parser.headers(),
                                  std::move(body), responder));
        request->watch_client = watch;
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << e.what();
        respond_now("400 Bad Request", e.what());
        return;
    }

    try {
        handler_.handle(*request);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Request handler crashed during processing the request to "
                   << logging::client_text(parser.target()) << ": " << e.what();
    }
}

void ClientConnection::send_response(boost::shared_ptr<Exchange> const& exchange, std::string status,
                                     Headers const& headers, std::string body) {
    boost::shared_ptr<ClientConnection> self = shared_from_this();
    asio::dispatch(strand_, [self, exchange, status = std::move(status), headers, body = std::move(body)]() mutable {
        self->respond(*exchange, status, headers, std::move(body));
    });
}

// A refusal of the connection's own, on the strand: the connection closes
// after it.
void ClientConnection::respond_now(std::string const& status, std::string const& body) {
    exchange_->refused = true;
    respond(*exchange_, status, Headers(), body);
}

// The connection's failures are told here, in its own words.
void ClientConnection::report_second_answer(Exchange const& exchange) {
    LOG(ERROR) << "Attempt to response on request to " << logging::client_text(exchange.request().target())
               << " on which response already has been sent to.";
}

void ClientConnection::report_send_failure(boost::system::error_code const& ec) {
    LOG(ERROR) << "Failed to send a reply to " << get_name() << ": " << ec.message();
}

void ClientConnection::report_broken() {
    LOG(ERROR) << "Connection with " << get_name() << " is broken. Closing it.";
}

void ClientConnection::shutdown_socket(int fd) {
    if (::shutdown(fd, SHUT_RDWR) == -1 && errno != ENOTCONN)
        LOG(ERROR) << "Failed to shutdown " << get_name() << " socket: " << error_string(errno);
}

void ClientConnection::close_idle() {
    boost::shared_ptr<ClientConnection> self = shared_from_this();
    asio::post(strand_, [self] {
        if (self->phase_ == idle)
            self->close_socket(false);
    });
}

}  // namespace http
}  // namespace net
}  // namespace orv
