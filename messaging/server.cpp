#include "messaging/server.hpp"

#include <cstddef>

#include "http/server.hpp"
#include "messaging/http_handler.hpp"

namespace orv {
namespace net {
namespace messaging {

// The adapter comes first so that it is built before the HTTP server and
// destroyed after it: the server never sees a dead handler.
struct Server::Impl {
    Impl(std::vector<boost::asio::io_context*> const& io, std::vector<http::ListenAddress> const& addresses, AsyncRequestHandler& handler,
         std::string const& service, std::string const& group, std::size_t limit,
         http::ConnectionSettings const& settings)
        : handler_(service, group, handler), server_(io, addresses, handler_, limit, settings) {}

    aux::HttpHandler handler_;
    http::Server server_;
};

Server::Server(boost::asio::io_context& io, std::string const& host, int port, AsyncRequestHandler& handler,
               std::string const& service, std::string const& group, std::size_t limit,
               http::ConnectionSettings const& settings)
    : Server(io, std::vector<http::ListenAddress>{http::ListenAddress::tcp_address(host, port)}, handler, service,
             group, limit, settings) {}

Server::Server(boost::asio::io_context& io, std::vector<http::ListenAddress> const& addresses,
               AsyncRequestHandler& handler, std::string const& service, std::string const& group, std::size_t limit,
               http::ConnectionSettings const& settings)
    : Server(std::vector<boost::asio::io_context*>{&io}, addresses, handler, service, group, limit, settings) {}

Server::Server(std::vector<boost::asio::io_context*> const& loops, std::vector<http::ListenAddress> const& addresses,
               AsyncRequestHandler& handler, std::string const& service, std::string const& group, std::size_t limit,
               http::ConnectionSettings const& settings)
    : impl_(new Impl(loops, addresses, handler, service, group, limit, settings)) {}

Server::~Server() = default;

void Server::start() {
    impl_->server_.start();
}

void Server::stop() {
    impl_->server_.stop();
}

std::size_t Server::open_connections() const {
    return impl_->server_.open_connections();
}

std::array<std::size_t, 3> Server::connection_states() const {
    return impl_->server_.connection_states();
}

unsigned short Server::port() const {
    return impl_->server_.port();
}

}  // namespace messaging
}  // namespace net
}  // namespace orv
