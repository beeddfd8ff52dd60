#include "http/listener.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "common/exception.hpp"
#include "common/syscall.hpp"
#include "common/trusted_directory.hpp"
#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

int const BACKLOG = 128;

[[noreturn]] void fail(char const* step) {
    throw boost::system::system_error(boost::system::error_code(errno, asio::error::get_system_category()), step);
}

sockaddr_un unix_sockaddr(std::string const& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        throw Exception("The socket path %1% is too long.", path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Whether a server answers on the socket file: a file left by a daemon that
// died refuses the connection.
bool answers(std::string const& path) {
    sockaddr_un const address = unix_sockaddr(path);
    int const probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        fail("socket");
    bool const connected =
        retry_eintr([&] { return ::connect(probe, reinterpret_cast<sockaddr const*>(&address), sizeof address); }) == 0;
    close_descriptor(probe);
    return connected;
}

}  // namespace

std::string Listener::display_name(ListenAddress const& address) {
    if (address.kind == ListenAddress::unix_socket)
        return "unix:" + address.path;
    return address.host + ":" + std::to_string(address.port);
}

ListenAddress ListenAddress::tcp_address(std::string const& host, int port) {
    ListenAddress address;
    address.host = host;
    address.port = port;
    return address;
}

ListenAddress ListenAddress::unix_address(std::string const& path, mode_t mode, gid_t group) {
    ListenAddress address;
    address.kind = unix_socket;
    address.path = path;
    address.mode = mode;
    address.group = group;
    return address;
}

ListenAddress ListenAddress::inherited_socket(int fd) {
    ListenAddress address;
    address.kind = inherited;
    address.fd = fd;
    return address;
}

Listener::Listener(asio::io_context& io, ListenAddress const& address, bool shared)
    : loop_(io), socket_(io), address_(address), port_(0), device_(0), inode_(0) {
    int fd = -1;
    switch (address.kind) {
    case ListenAddress::tcp:
        fd = open_tcp(address, shared, false);
        break;
    case ListenAddress::unix_socket:
        fd = open_unix(address);
        break;
    case ListenAddress::inherited:
        fd = adopt(address);
        break;
    }
    adopt_descriptor(fd);
}

Listener::Listener(asio::io_context& io, Listener const& first)
    : loop_(io), socket_(io), address_(first.address_), port_(0), device_(0), inode_(0) {
    adopt_descriptor(open_tcp(address_, true, true));
}

// Connections are taken until the backlog is empty: an accept must return at
// once when it is.
void Listener::adopt_descriptor(int fd) {
    socket_.assign(fd);
    socket_.non_blocking(true);
}

Listener::~Listener() {
    boost::system::error_code ignored;
    close(ignored);
}

// The steps and their names as the networking library gives them. The port
// sharing option comes before a sibling's bind, and after the first
// socket's.
int Listener::open_tcp(ListenAddress const& address, bool shared, bool sibling) {
    name_ = display_name(address);
    asio::io_context resolving;
    tcp::resolver resolver(resolving);
    tcp::resolver::results_type const results =
        resolver.resolve(address.host, std::to_string(address.port), tcp::resolver::address_configured);
    tcp::endpoint const endpoint = results.begin()->endpoint();
    tcp::acceptor acceptor(resolving);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    typedef asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT> ReusePort;
    if (sibling) acceptor.set_option(ReusePort(true));
    acceptor.bind(endpoint);
    if (shared && !sibling) acceptor.set_option(ReusePort(true));
    acceptor.listen(BACKLOG);
    port_ = acceptor.local_endpoint().port();
    address_.port = port_;
    return acceptor.release();
}

// The file is made through its directory's descriptor in a directory only
// root or the daemon's user can change (see TrustedDirectory), with no
// access for others (a process-wide umask for the moment of the bind: a
// client must never find it open wider than asked), then given its mode and
// group. A file left by a daemon that is gone is replaced; one that a
// running server answers on is never taken over.
int Listener::open_unix(ListenAddress const& address) {
    name_ = display_name(address);
    std::string::size_type const slash = address.path.rfind('/');
    directory_.reset(new TrustedDirectory("Socket directory", slash == 0 ? "/" : address.path.substr(0, slash)));
    std::string const name = address.path.substr(slash + 1);
    std::string const reach = directory_->at_path(name);
    sockaddr_un const where = unix_sockaddr(reach);
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("open");
    auto bind_once = [&] {
        mode_t const previous = ::umask(0177);
        int const result = ::bind(fd, reinterpret_cast<sockaddr const*>(&where), sizeof where);
        int const error = errno;
        ::umask(previous);
        errno = error;
        return result;
    };
    try {
        struct stat existing;
        if (bind_once() != 0) {
            if (errno != EADDRINUSE || directory_->status(name, existing) != 0 || !S_ISSOCK(existing.st_mode))
                fail("bind");
            if (answers(reach))
                throw Exception("The socket %1% is in use by another process.", address.path);
            if (directory_->remove(name) != 0 || bind_once() != 0)
                fail("bind");
        }
        struct stat made;
        if (directory_->status(name, made) != 0)
            fail("bind");
        name_in_directory_ = name;
        device_ = made.st_dev;
        inode_ = made.st_ino;
        if (address.group != static_cast<gid_t>(-1) &&
            ::fchownat(directory_->fd(), name.c_str(), -1, address.group, AT_SYMLINK_NOFOLLOW) != 0)
            fail("chown");
        if (::chmod(reach.c_str(), address.mode) != 0)
            fail("chmod");
        if (::listen(fd, BACKLOG) != 0)
            fail("listen");
    } catch (...) {
        close_descriptor(fd);
        throw;
    }
    return fd;
}

// A socket the service manager bound and listens on for this process.
int Listener::adopt(ListenAddress const& address) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockopt(address.fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0)
        fail("getsockopt");
    if (!listening)
        throw Exception("Descriptor %1% from the service manager is no listening socket.",
                        static_cast<unsigned long>(address.fd));
    sockaddr_storage local = {};
    size = sizeof local;
    if (::getsockname(address.fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        fail("getsockname");
    if (local.ss_family == AF_UNIX) {
        name_ = std::string("unix:") + reinterpret_cast<sockaddr_un const*>(&local)->sun_path;
    } else {
        std::ostringstream text;
        tcp::endpoint endpoint;
        std::memcpy(endpoint.data(), &local, std::min<std::size_t>(size, endpoint.capacity()));
        endpoint.resize(size);
        text << endpoint;
        name_ = text.str();
        port_ = endpoint.port();
    }
    ::fcntl(address.fd, F_SETFD, FD_CLOEXEC);
    return address.fd;
}

void Listener::close(boost::system::error_code& ec) {
    if (!socket_.is_open())
        return;
    socket_.close(ec);
    struct stat now;
    if (!name_in_directory_.empty() && directory_->status(name_in_directory_, now) == 0 &&
        now.st_dev == device_ && now.st_ino == inode_)
        directory_->remove(name_in_directory_);
    name_in_directory_.clear();
}

}  // namespace http
}  // namespace net
}  // namespace orv
