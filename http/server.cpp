#include "http/server.hpp"

#include <cerrno>

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

// How long accepting pauses when the process is out of descriptors. Retrying
// at once would spin: the pending connection stays in the backlog and every
// accept fails again until some descriptor is released.
std::chrono::milliseconds const DESCRIPTOR_PAUSE(100);

bool out_of_descriptors(boost::system::error_code const& ec) {
    return ec == boost::system::errc::too_many_files_open ||
           ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

Server::Server(asio::io_context& io, std::string const& host, int port, RequestHandler& handler, std::size_t limit,
               Deadlines const& deadlines, ServerStats* stats)
    : running_(false),
      accept_outstanding_(false),
      io_(io),
      acceptor_(io),
      pause_timer_(io),
      tracker_(boost::make_shared<ConnectionTracker>(limit)),
      handler_(handler),
      deadlines_(deadlines),
      stats_(stats),
      new_connection_(make_connection()) {
    raise_descriptor_limit();
    LOG(INFO) << "Listening for client HTTP connections on " << host << ":" << port << "...";

    tcp::resolver resolver(io);
    tcp::resolver::results_type const results =
        resolver.resolve(host, std::to_string(port), tcp::resolver::address_configured);
    tcp::endpoint const endpoint = results.begin()->endpoint();

    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(BACKLOG);
}

Server::~Server() = default;

void Server::start() {
    LOG(INFO) << "Starting the HTTP server...";
    boost::mutex::scoped_lock lock(mutex_);
    if (running_ || !acceptor_.is_open())
        return;
    running_ = true;
    if (!accept_outstanding_)
        begin_accept();
}

// Closing the listening socket, not only cancelling the accept, makes new
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
    handler_.stop();
}

std::size_t Server::open_connections() const {
    return tracker_->count();
}

tcp::endpoint Server::local_endpoint() const {
    return acceptor_.local_endpoint();
}

boost::shared_ptr<ClientConnection> Server::make_connection() {
    return boost::make_shared<ClientConnection>(io_, tracker_, handler_, deadlines_, stats_);
}

// Called with mutex_ held.
void Server::begin_accept() {
    accept_outstanding_ = true;
    acceptor_.async_accept(new_connection_->socket(),
                           boost::bind(&Server::handle_accept, this, boost::placeholders::_1));
}

void Server::handle_accept(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted) {
        // Our own cancellation in stop(). A start() that came in meanwhile
        // left the accept to us.
        boost::mutex::scoped_lock lock(mutex_);
        accept_outstanding_ = false;
        if (running_)
            begin_accept();
        return;
    }

    // The next accept starts before this connection runs: a connection whose
    // request is already there is served on this thread at once, and the
    // listener must not wait for that.
    boost::shared_ptr<ClientConnection> accepted;
    {
        boost::mutex::scoped_lock lock(mutex_);
        accepted = new_connection_;
        new_connection_ = make_connection();
        if (!ec || !out_of_descriptors(ec)) {
            accept_outstanding_ = false;
            if (running_)
                begin_accept();
        } else {
            pause_timer_.expires_after(DESCRIPTOR_PAUSE);
            pause_timer_.async_wait(boost::bind(&Server::handle_pause_end, this, boost::placeholders::_1));
        }
    }

    if (ec) {
        LOG(ERROR) << "Failed to accept a client connection: " << ec.message();
        return;
    }
    // No lock here: starting a connection takes the tracker's mutex.
    try {
        accepted->start();
    } catch (std::exception const& e) {
        // The refused connection is closed unanswered when `accepted` goes.
        if (stats_ != nullptr)
            stats_->refused();
        LOG(ERROR) << "Failed to handle a client connection from " << accepted->get_name() << ": " << e.what();
    }
}

void Server::handle_pause_end(boost::system::error_code const& ec) {
    // The pause is never cancelled; an abort means the server is going away.
    if (ec == asio::error::operation_aborted)
        return;
    boost::mutex::scoped_lock lock(mutex_);
    accept_outstanding_ = false;
    if (running_)
        begin_accept();
}

}  // namespace http
}  // namespace net
}  // namespace orv
