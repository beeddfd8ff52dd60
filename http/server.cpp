#include "http/server.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <sstream>

#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <glog/logging.h>

#include "http/client_connection.hpp"
#include "http/connection_tracker.hpp"
#include "http/descriptor_limit.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

int const BACKLOG = 128;

// How long accepting pauses when the process is out of descriptors.
std::chrono::milliseconds const DESCRIPTOR_PAUSE(100);

bool out_of_descriptors(boost::system::error_code const& ec) {
    return ec == boost::system::errc::too_many_files_open ||
           ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

Server::Server(asio::io_context& io, std::string const& host, int port, RequestHandler& handler, std::size_t limit,
               Deadlines const& deadlines, ServerStats* stats)
    : running_(false),
      waiting_(false),
      paused_(false),
      ipv6_(false),
      io_(io),
      acceptor_(io),
      pause_timer_(io),
      refusal_timer_(io),
      tracker_(boost::make_shared<ConnectionTracker>(limit)),
      handler_(handler),
      deadlines_(deadlines),
      stats_(stats) {
    raise_descriptor_limit();
    LOG(INFO) << "Listening for client HTTP connections on " << host << ":" << port << "...";

    tcp::resolver resolver(io);
    tcp::resolver::results_type const results =
        resolver.resolve(host, std::to_string(port), tcp::resolver::address_configured);
    tcp::endpoint const endpoint = results.begin()->endpoint();

    acceptor_.open(endpoint.protocol());
    ipv6_ = endpoint.protocol() == tcp::v6();
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(BACKLOG);
    // Connections are taken until the backlog is empty: an accept must
    // return at once when it is.
    acceptor_.non_blocking(true);
}

Server::~Server() = default;

void Server::start() {
    LOG(INFO) << "Starting the HTTP server...";
    boost::mutex::scoped_lock lock(mutex_);
    if (running_ || !acceptor_.is_open())
        return;
    running_ = true;
    await_connections();
}

// Closing the listening socket, not only cancelling the wait, makes new
// clients see a refused connection at once instead of waiting in a backlog
// that nobody reads. A stopped server stays stopped.
void Server::stop() {
    LOG(INFO) << "Stopping the HTTP server...";
    boost::system::error_code ec;
    {
        boost::mutex::scoped_lock lock(mutex_);
        if (acceptor_.is_open())
            acceptor_.close(ec);
        running_ = false;
    }
    if (ec)
        LOG(ERROR) << "Failed to cancel the acceptor: " << ec.message();
    // No refusal follows: what was counted is told now, and no timer keeps
    // the event loop waiting for it.
    report_refusals(true);
    handler_.stop();
}

std::size_t Server::open_connections() const {
    return tracker_->count();
}

tcp::endpoint Server::local_endpoint() const {
    return acceptor_.local_endpoint();
}

// Called with mutex_ held. At most one wait is armed, none while stopped or
// pausing.
void Server::await_connections() {
    if (!running_ || waiting_ || paused_)
        return;
    waiting_ = true;
    acceptor_.async_wait(tcp::acceptor::wait_read,
                         boost::bind(&Server::handle_acceptable, this, boost::placeholders::_1));
}

void Server::handle_acceptable(boost::system::error_code const& ec) {
    {
        boost::mutex::scoped_lock lock(mutex_);
        waiting_ = false;
        if (ec == asio::error::operation_aborted) {
            // Our own cancellation in stop(), or a start() that came in
            // meanwhile and now needs the wait again.
            await_connections();
            return;
        }
        if (ec && !pause_accepting())
            return;
    }
    if (ec) {
        LOG(ERROR) << "Failed to accept a client connection: " << ec.message();
        return;
    }
    accept_pending();
}

// Takes every connection waiting in the backlog. The wait for the listening
// socket only reports clients that arrive while it is armed, so it is armed
// before each accept: a client that comes after an accept found the backlog
// empty wakes it. The last connection taken runs on this thread, at once;
// the ones before it go to the pool.
void Server::accept_pending() {
    boost::shared_ptr<ClientConnection> taken;
    tcp::endpoint taken_peer;
    for (;;) {
        int error = 0;
        tcp::endpoint peer;
        int const fd = accept_next(error, peer);
        if (fd < 0) {
            if (error == ECONNABORTED || error == EINTR)
                continue;  // a client that gave up while queued
            if (error != 0 && error != EAGAIN && error != EWOULDBLOCK) {
                boost::system::error_code const ec(error, asio::error::get_system_category());
                LOG(ERROR) << "Failed to accept a client connection: " << ec.message();
            }
            break;
        }
        if (taken) {
            asio::ip::address const address = taken_peer.address();
            asio::post(io_, [this, taken, address] { run(taken, address); });
        }
        taken = boost::make_shared<ClientConnection>(io_, ipv6_ ? tcp::v6() : tcp::v4(), fd, tracker_, handler_,
                                                     deadlines_, stats_);
        taken_peer = peer;
    }
    if (taken)
        run(taken, taken_peer.address());
}

// One accept under the lock, so that it never meets a listening socket that
// stop() is closing. -1 when there is nothing to take, with `error` set to
// what the caller should report, or to 0 when another thread reports the
// same lack of descriptors already. The peer's address comes with the
// accept, for counting refusals without asking the socket again.
int Server::accept_next(int& error, tcp::endpoint& peer) {
    boost::mutex::scoped_lock lock(mutex_);
    if (!running_ || paused_ || !acceptor_.is_open()) {
        error = EAGAIN;
        return -1;
    }
    await_connections();
    socklen_t size = static_cast<socklen_t>(peer.capacity());
    int const fd = ::accept4(acceptor_.native_handle(), peer.data(), &size, SOCK_CLOEXEC);
    error = fd < 0 ? errno : 0;
    if (fd >= 0)
        peer.resize(size);
    if (fd < 0 && out_of_descriptors(boost::system::error_code(error, asio::error::get_system_category())) &&
        !pause_accepting())
        error = 0;
    return fd;
}

// Called with mutex_ held; false when a pause is already under way.
// Retrying at once would spin while the process is out of descriptors: the
// pending connection stays in the backlog and every accept fails again until
// some descriptor is released.
bool Server::pause_accepting() {
    if (paused_)
        return false;
    paused_ = true;
    pause_timer_.expires_after(DESCRIPTOR_PAUSE);
    pause_timer_.async_wait(boost::bind(&Server::handle_pause_end, this, boost::placeholders::_1));
    return true;
}

void Server::handle_pause_end(boost::system::error_code const& ec) {
    // The pause is never cancelled; an abort means the server is going away.
    if (ec == asio::error::operation_aborted)
        return;
    {
        boost::mutex::scoped_lock lock(mutex_);
        paused_ = false;
    }
    accept_pending();
}

// The first refusal after a quiet second is logged as it always was; the
// ones after it are counted and summarised once a second.
void Server::run(boost::shared_ptr<ClientConnection> const& connection, asio::ip::address const& peer) {
    try {
        connection->start();
    } catch (std::exception const& e) {
        // The refused connection is closed unanswered when its last owner goes.
        if (stats_ != nullptr)
            stats_->refused();
        bool opened = false;
        if (refusals_.refused(RefusalCounter::Clock::now(), peer, e.what(), opened))
            LOG(ERROR) << "Failed to handle a client connection from " << connection->get_name() << ": " << e.what();
        if (opened)
            arm_refusal_timer();
    }
}

void Server::arm_refusal_timer() {
    boost::mutex::scoped_lock lock(mutex_);
    refusal_timer_.expires_at(refusals_.due());
    refusal_timer_.async_wait(boost::bind(&Server::handle_refusal_timer, this, boost::placeholders::_1));
}

void Server::handle_refusal_timer(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;  // stop() told the count already
    report_refusals(false);
}

void Server::report_refusals(bool last) {
    if (last) {
        boost::mutex::scoped_lock lock(mutex_);
        refusal_timer_.cancel();
    }
    RefusalCounter::Summary summary;
    bool const counting = refusals_.flush(RefusalCounter::Clock::now(), summary, last);
    if (summary.count > 0) {
        std::ostringstream from;
        for (std::size_t i = 0; i < summary.named; ++i)
            from << (i == 0 ? "" : i + 1 == summary.named ? " and " : ", ") << summary.most[i];
        LOG(ERROR) << "Failed to handle " << summary.count << " more client connection"
                   << (summary.count == 1 ? "" : "s") << " in the last second: " << summary.reason
                   << " Most came from " << from.str() << ".";
    }
    if (counting)
        arm_refusal_timer();
}

}  // namespace http
}  // namespace net
}  // namespace orv
