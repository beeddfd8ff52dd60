#include "raw_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/syscall.hpp"

namespace orv {
namespace test {

RawClient::RawClient(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (fd_ < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (retry_eintr([&] { return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address); }) != 0) {
        int const error = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("connect: ") + std::strerror(error));
    }
}

RawClient::~RawClient() {
    close();
}

bool RawClient::send(std::string const& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t const n =
            retry_eintr([&] { return ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL); });
        if (n < 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void RawClient::shutdown_write() {
    ::shutdown(fd_, SHUT_WR);
}

void RawClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RawClient::reset() {
    linger const abort_on_close = {1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

unsigned short RawClient::local_port() const {
    sockaddr_in address;
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

RawClient::Received RawClient::receive(int timeout_ms) {
    Received result{std::string(), false};
    char chunk[65536];
    for (;;) {
        pollfd p = {fd_, POLLIN, 0};
        int const ready = retry_eintr([&] { return ::poll(&p, 1, timeout_ms); });
        if (ready <= 0)
            return result;
        ssize_t const n = retry_eintr([&] { return ::recv(fd_, chunk, sizeof chunk, 0); });
        if (n <= 0) {
            result.closed = true;
            return result;
        }
        result.data.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string RawClient::receive_some(std::size_t max_bytes, int timeout_ms) {
    pollfd p = {fd_, POLLIN, 0};
    if (retry_eintr([&] { return ::poll(&p, 1, timeout_ms); }) <= 0)
        return std::string();
    std::string chunk(max_bytes, '\0');
    ssize_t const n = retry_eintr([&] { return ::recv(fd_, &chunk[0], chunk.size(), 0); });
    chunk.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return chunk;
}

std::string RawClient::receive_exactly(std::size_t bytes, int timeout_ms) {
    std::string data;
    while (data.size() < bytes) {
        std::string const chunk = receive_some(bytes - data.size(), timeout_ms);
        if (chunk.empty()) break;
        data += chunk;
    }
    return data;
}

std::string round_trip(unsigned short port, std::string const& request) {
    RawClient client(port);
    client.send(request);
    return client.receive().data;
}

}  // namespace test
}  // namespace orv
