// Who a client connection's requests come from (the peer, or the client a
// trusted proxy names), and whether that client is still there.
#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

#include "common/syscall.hpp"
#include "http/client_connection.hpp"
#include "http/exchange.hpp"
#include "http/proxy_header.hpp"
#include "http/trusted_proxies.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
namespace ph = boost::placeholders;

// A trusted proxy may begin the connection with a PROXY protocol header that
// names the client. False when the connection ends here: a malformed
// header, or none where one is required, is logged and the connection
// closed without an answer (a proxy would not read one).
bool ClientConnection::take_proxy_header() {
    asio::streambuf::const_buffers_type const data = buffer_.data();
    ProxyHeader const header = parse_proxy_header(static_cast<char const*>(data.data()), data.size());
    if (header.result == ProxyHeader::incomplete)
        return true;
    awaiting_proxy_header_ = false;
    char const* problem = header.result == ProxyHeader::malformed ? header.problem : nullptr;
    if (header.result == ProxyHeader::absent && settings_.require_proxy_header)
        problem = "The PROXY protocol header is missing.";
    if (problem != nullptr) {
        LOG(ERROR) << "Failed to process a request from " << get_name() << ": " << problem;
        close_socket(false);
        return false;
    }
    if (header.result == ProxyHeader::parsed) {
        buffer_.consume(header.consumed);
        client_from_header_ = true;
        if (!header.local)
            client_ = header.client;
    }
    return true;
}

// A trusted proxy that sent no PROXY header may name the client of each
// request in X-Forwarded-For; nobody else's header is believed.
Peer ClientConnection::request_client(RequestParser const& request) const {
    if (!proxied_ || client_from_header_)
        return client_;
    auto const forwarded = request.headers().find("x-forwarded-for");
    return forwarded == request.headers().end() ? client_ : settings_.trusted->forwarded_client(forwarded->second, peer_);
}

void ClientConnection::watch_client(boost::shared_ptr<Exchange> const& exchange, boost::function<void()> const& gone) {
    boost::shared_ptr<ClientConnection> self = shared_from_this();
    asio::dispatch(strand_, [self, exchange, gone] {
        if (exchange != self->exchange_ || exchange->responded || self->phase_ != handling || self->watch())
            return;
        self->client_gone_ = gone;
        self->watching_client_ = true;
        self->socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                                 asio::bind_executor(self->strand_, boost::bind(&ClientConnection::handle_client_activity,
                                                                                self, exchange, ph::_1)));
    });
}

// The peer's close or reset shows as a readable socket with nothing to
// read; bytes mean a next request, from a client still there.
void ClientConnection::handle_client_activity(boost::shared_ptr<Exchange> const& exchange,
                                              boost::system::error_code const& ec) {
    watching_client_ = false;
    if (ec == asio::error::operation_aborted || exchange != exchange_ || exchange->responded)
        return;
    char byte;
    ssize_t const peeked = ec ? -1 : retry_eintr([&] { return ::recv(descriptor(), &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (peeked < 0 && !ec && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        watching_client_ = true;
        socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                           asio::bind_executor(strand_, boost::bind(&ClientConnection::handle_client_activity,
                                                                    shared_from_this(), exchange, ph::_1)));
        return;
    }
    boost::function<void()> gone;
    gone.swap(client_gone_);
    if (peeked <= 0 && gone)
        gone();
}

}  // namespace http
}  // namespace net
}  // namespace orv
