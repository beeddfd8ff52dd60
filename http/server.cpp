#include "http/server.hpp"

#include <sys/socket.h>

#include <cerrno>

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

namespace {

// How long accepting pauses when the process is out of descriptors.
std::chrono::milliseconds const DESCRIPTOR_PAUSE(100);

bool out_of_descriptors(boost::system::error_code const& ec) {
    return ec == boost::system::errc::too_many_files_open ||
           ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

Server::Server(asio::io_context& io, std::vector<ListenAddress> const& addresses, RequestHandler& handler,
               std::size_t limit, ConnectionSettings const& settings)
    : Server(std::vector<asio::io_context*>{&io}, addresses, handler, limit, settings) {}

Server::Server(std::vector<asio::io_context*> const& loops, std::vector<ListenAddress> const& addresses,
               RequestHandler& handler, std::size_t limit, ConnectionSettings const& settings)
    : running_(false),
      paused_(false),
      io_(*loops.front()),
      pause_timer_(io_),
      refusals_(io_),
      tracker_(boost::make_shared<ConnectionTracker>(limit, settings.per_address_limit)),
      handler_(handler),
      settings_(settings) {
    raise_descriptor_limit();
    for (ListenAddress const& address : addresses) {
        bool const inherited = address.kind == ListenAddress::inherited;
        if (!inherited)
            LOG(INFO) << "Listening for client HTTP connections on " << Listener::display_name(address) << "...";
        bool const spread = address.kind == ListenAddress::tcp && loops.size() > 1;
        listeners_.emplace_back(new Listener(io_, address, spread));
        Listener const& first = *listeners_.back();
        for (std::size_t i = 1; spread && i < loops.size(); ++i) listeners_.emplace_back(new Listener(*loops[i], first));
        if (inherited) {
            LOG(INFO) << "Listening for client HTTP connections on " << first.name()
                      << " (from the service manager)...";
        }
    }
}

Server::Server(asio::io_context& io, std::string const& host, int port, RequestHandler& handler, std::size_t limit,
               ConnectionSettings const& settings)
    : Server(io, std::vector<ListenAddress>{ListenAddress::tcp_address(host, port)}, handler, limit, settings) {}

Server::~Server() = default;

void Server::start() {
    LOG(INFO) << "Starting the HTTP server...";
    boost::mutex::scoped_lock lock(mutex_);
    if (running_)
        return;
    running_ = true;
    for (auto const& listener : listeners_) await_connections(*listener);
}

// Closing the listening sockets, not only cancelling the waits, makes new
// clients see a refused connection at once instead of waiting in a backlog
// that nobody reads. A stopped server stays stopped.
void Server::stop() {
    LOG(INFO) << "Stopping the HTTP server...";
    boost::system::error_code ec;
    {
        boost::mutex::scoped_lock lock(mutex_);
        for (auto const& listener : listeners_) {
            boost::system::error_code closing;
            listener->close(closing);
            if (closing && !ec)
                ec = closing;
        }
        running_ = false;
    }
    if (ec)
        LOG(ERROR) << "Failed to cancel the acceptor: " << ec.message();
    // No refusal follows: what was counted is told now, and no timer keeps
    // the event loop waiting for it.
    refusals_.stop();
    tracker_->stop();
    handler_.stop();
}

std::size_t Server::open_connections() const {
    return tracker_->count();
}

std::array<std::size_t, 3> Server::connection_states() const {
    return {{tracker_->count(ConnectionTracker::reading), tracker_->count(ConnectionTracker::working),
             tracker_->count(ConnectionTracker::idle)}};
}

unsigned short Server::port() const {
    for (auto const& listener : listeners_) {
        if (listener->port() != 0)
            return listener->port();
    }
    return 0;
}

// Called with mutex_ held. At most one wait is armed per listener, none
// while stopped or pausing.
void Server::await_connections(Listener& listener) {
    if (!running_ || listener.waiting || paused_ || !listener.is_open())
        return;
    listener.waiting = true;
    listener.socket().async_wait(asio::posix::stream_descriptor::wait_read,
                                 [this, &listener](boost::system::error_code const& ec) {
                                     handle_acceptable(listener, ec);
                                 });
}

void Server::handle_acceptable(Listener& listener, boost::system::error_code const& ec) {
    {
        boost::mutex::scoped_lock lock(mutex_);
        listener.waiting = false;
        if (ec == asio::error::operation_aborted) {
            // Our own cancellation in stop(), or a start() that came in
            // meanwhile and now needs the wait again.
            await_connections(listener);
            return;
        }
        if (ec && !pause_accepting())
            return;
    }
    if (ec) {
        LOG(ERROR) << "Failed to accept a client connection: " << ec.message();
        return;
    }
    accept_pending(listener);
}

// Takes every connection waiting in the backlog. The wait for the listening
// socket only reports clients that arrive while it is armed, so it is armed
// before each accept: a client that comes after an accept found the backlog
// empty wakes it. The last connection taken runs on this thread, at once;
// the ones before it are queued to this listener's loop.
void Server::accept_pending(Listener& listener) {
    boost::shared_ptr<ClientConnection> taken;
    for (;;) {
        int error = 0;
        int const fd = accept_next(listener, error);
        if (fd < 0) {
            if (error == ECONNABORTED || error == EINTR)
                continue;  // a client that gave up while queued
            if (error != 0 && error != EAGAIN && error != EWOULDBLOCK) {
                boost::system::error_code const ec(error, asio::error::get_system_category());
                LOG(ERROR) << "Failed to accept a client connection: " << ec.message();
            }
            break;
        }
        if (taken)
            asio::post(listener.loop(), [this, taken] { run(taken); });
        taken = boost::make_shared<ClientConnection>(listener.loop(), fd, tracker_, handler_, settings_);
    }
    if (taken)
        run(taken);
}

// One accept under the lock, so that it never meets a listening socket that
// stop() is closing. -1 when there is nothing to take, with `error` set to
// what the caller should report, or to 0 when another thread reports the
// same lack of descriptors already.
int Server::accept_next(Listener& listener, int& error) {
    boost::mutex::scoped_lock lock(mutex_);
    if (!running_ || paused_ || !listener.is_open()) {
        error = EAGAIN;
        return -1;
    }
    await_connections(listener);
    int const fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    error = fd < 0 ? errno : 0;
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
    for (auto const& listener : listeners_) {
        Listener* const each = listener.get();
        asio::post(each->loop(), [this, each] { accept_pending(*each); });
    }
}

// Refusals are logged in aggregate, a cause at a time (see RefusalLog).
void Server::run(boost::shared_ptr<ClientConnection> const& connection) {
    try {
        connection->start();
    } catch (std::exception const& e) {
        // The refused connection is closed unanswered when its last owner goes.
        if (settings_.stats != nullptr)
            settings_.stats->refused();
        RefusalLog::Cause const cause =
            dynamic_cast<ShareExceeded const*>(&e) != nullptr ? RefusalLog::share : RefusalLog::limit;
        refusals_.refused(cause, connection->get_name(), connection->peer(), e.what());
    }
}

}  // namespace http
}  // namespace net
}  // namespace orv
