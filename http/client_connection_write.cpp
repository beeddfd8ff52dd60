// The writing half of a client connection: the response on the wire, its
// deadlines, and what follows it: the next request or the close.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/defer.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/log_text.hpp"
#include "common/syscall.hpp"
#include "http/client_connection.hpp"
#include "http/exchange.hpp"
#include "http/request_parser.hpp"
#include "http/server_stats.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
namespace ph = boost::placeholders;

// On the strand: produces the exchange's one response and starts writing it.
void ClientConnection::respond(Exchange& exchange, std::string const& status, Headers const& headers,
                               std::string body) {
    if (exchange.responded) {
        report_second_answer(exchange);
        return;
    }
    exchange.responded = true;
    client_gone_.clear();
    if (watching_client_) {
        boost::system::error_code ignored;
        socket_.cancel(ignored);
        watching_client_ = false;
    }
    exchange.status_code = std::atoi(status.c_str());
    exchange.keeps_open = !exchange.refused && phase_ == handling &&
                          keeps_open(settings_.keep_alive, exchange.request(), requests_, tracker_->stopping());
    head_ = compose_head(status, headers, body.size(),
                         framing_for(settings_.keep_alive, exchange.request(), exchange.keeps_open));
    body_ = std::move(body);
    write(finish_exchange);
}

// What the socket takes at once goes out here in one gathering call, without
// a wait and so without a deadline. A rest that has to wait for the peer is
// written as the socket becomes writable, and each wait must see
// min(rest, one body step) bytes move within the per-wait deadline: a large
// reply to a slow reader may take as long as it needs while the reader
// keeps taking bytes, but a reader that stops is cut off.
void ClientConnection::write(AfterWrite after) {
    if (after == finish_exchange)
        phase_ = writing;
    after_write_ = after;
    written_ = 0;
    std::array<asio::const_buffer, 2> const now = unsent();
    struct iovec const vectors[2] = {{const_cast<void*>(now[0].data()), now[0].size()},
                                     {const_cast<void*>(now[1].data()), now[1].size()}};
    written_ += send_without_waiting(descriptor(), vectors, 2);
    std::size_t const rest = head_.size() + body_.size() - written_;
    if (rest == 0) {
        write_done();
        return;
    }
    wait_writable(rest);
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

void ClientConnection::wait_writable(std::size_t rest) {
    boost::system::error_code const ec = watch();
    if (ec) {
        report_send_failure(ec);
        return;
    }
    arm_deadline(Clock::now() + settings_.deadlines.wait);
    write_goal_ = std::min(rest, RequestLimits::body_read_step);
    write_moved_ = 0;
    socket_.async_wait(asio::posix::stream_descriptor::wait_write,
                       asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_writable,
                                                                shared_from_this(), ph::_1)));
}

void ClientConnection::handle_writable(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;  // the deadline closed the socket
    std::size_t sent = 0;
    if (!ec) {
        std::array<asio::const_buffer, 2> const now = unsent();
        struct iovec const vectors[2] = {{const_cast<void*>(now[0].data()), now[0].size()},
                                         {const_cast<void*>(now[1].data()), now[1].size()}};
        sent = send_without_waiting(descriptor(), vectors, 2);
    }
    boost::system::error_code const failure =
        ec ? ec
           : sent == 0 && errno != EAGAIN && errno != EWOULDBLOCK
                 ? boost::system::error_code(errno, asio::error::get_system_category())
                 : boost::system::error_code();
    if (failure) {
        cancel_deadline();
        report_send_failure(failure);
        return;  // the chain ends; the connection goes with its last owner
    }
    written_ += sent;
    write_moved_ += sent;
    std::size_t const rest = head_.size() + body_.size() - written_;
    if (rest == 0) {
        cancel_deadline();
        write_done();
        return;
    }
    if (write_moved_ >= write_goal_) {
        arm_deadline(Clock::now() + settings_.deadlines.wait);
        write_goal_ = std::min(rest, RequestLimits::body_read_step);
        write_moved_ = 0;
    }
    socket_.async_wait(asio::posix::stream_descriptor::wait_write,
                       asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_writable,
                                                                shared_from_this(), ph::_1)));
}

void ClientConnection::write_done() {
    if (after_write_ == resume_reading) {
        read_request();
        return;
    }
    finish_response();
}

// The response is out: the connection closes, or serves the next request:
// from the back of the queue when its bytes are here already (a handler
// that answers at once must not recurse through a pipeline of requests),
// otherwise once they come.
void ClientConnection::finish_response() {
    Exchange const& exchange = *exchange_;
    if (settings_.stats != nullptr)
        settings_.stats->response(exchange.status_code, exchange.duration(Clock::now()));
    if (!exchange.keeps_open) {
        close_socket(true);
        return;  // the chain ends here; the connection goes with its last owner
    }
    head_.clear();
    body_.clear();
    if (buffer_.size() > 0) {
        phase_ = reading;
        tracker_->set_state(slot_, ConnectionTracker::reading);
        begin_exchange(Clock::now());
        asio::defer(strand_, boost::bind(&ClientConnection::read_request, shared_from_this()));
        return;
    }
    if (!tracker_->go_idle(slot_)) {
        close_socket(true);
        return;
    }
    phase_ = idle;
    idle_deadline_ = Clock::now() + settings_.keep_alive.idle;
    wait_readable();
}

// A watched socket leaves the event loop before it is shut down and closed:
// shutting down a socket that the loop still watches wakes a pool thread for
// an event nobody waits for.
void ClientConnection::close_socket(bool shut_down) {
    phase_ = closed;
    cancel_deadline();
    int fd = fd_;
    fd_ = -1;
    if (fd == -1) {
        boost::system::error_code ec;
        socket_.cancel(ec);
        fd = socket_.release();
    }
    if (fd == -1)
        return;
    if (shut_down)
        shutdown_socket(fd);
    close_descriptor(fd);
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

// An idle connection that waited its time is closed quietly: the client
// simply did not come back.
void ClientConnection::handle_deadline(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted || deadline_timer_.expiry() > Clock::now() || phase_ == closed)
        return;
    if (phase_ != idle)
        report_broken();
    close_socket(false);
}

}  // namespace http
}  // namespace net
}  // namespace orv
