#ifndef ORV_MESSAGING_SERVER_HPP
#define ORV_MESSAGING_SERVER_HPP

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "http/connection_settings.hpp"
#include "http/listen_address.hpp"
#include "messaging/async_request_handler.hpp"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace orv {
namespace net {
namespace messaging {

// The JSON messaging endpoint of one named service: an HTTP server whose requests go through the URL adapter to the
// handler. The HTTP machinery stays behind a pointer so that including this
// header does not pull in the networking library's implementation.
class Server {
public:
    // Resolves, binds and listens at once; failures propagate as the HTTP
    // server raises them. The handler must outlive the server. At most
    // `limit` connections are open at once (0: no limit).
    Server(boost::asio::io_context& io, std::string const& host, int port, AsyncRequestHandler& handler,
           std::string const& service, std::string const& group, std::size_t limit = 1000,
           http::ConnectionSettings const& settings = http::ConnectionSettings());
    // The same on every address given (see http::Listener), on one event
    // loop or on several (see http::Server).
    Server(std::vector<boost::asio::io_context*> const& loops, std::vector<http::ListenAddress> const& addresses,
           AsyncRequestHandler& handler, std::string const& service, std::string const& group,
           std::size_t limit = 1000, http::ConnectionSettings const& settings = http::ConnectionSettings());
    Server(boost::asio::io_context& io, std::vector<http::ListenAddress> const& addresses,
           AsyncRequestHandler& handler, std::string const& service, std::string const& group,
           std::size_t limit = 1000, http::ConnectionSettings const& settings = http::ConnectionSettings());
    ~Server();

    Server(Server const&) = delete;
    Server& operator=(Server const&) = delete;

    void start();
    void stop();

    // The bound port; the one the system chose when constructed with port 0.
    unsigned short port() const;
    // Connections open now.
    std::size_t open_connections() const;
    // Reading a request, with the handler, idle between requests.
    std::array<std::size_t, 3> connection_states() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
