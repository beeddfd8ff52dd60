#ifndef ORV_COMMON_SYSCALL_HPP
#define ORV_COMMON_SYSCALL_HPP

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace orv {

// Repeats a system call while it fails with EINTR and returns its last result.
// errno is left as the call set it. Never use it for close(): see below.
template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Closes a descriptor once. On Linux the descriptor is released even when
// close() reports EINTR, so a retry could close a descriptor that another
// thread has just been given; EINTR therefore counts as success here.
// Returns 0, or -1 with errno for a real failure.
inline int close_descriptor(int fd) {
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

// Reads what a socket already holds, without waiting: the byte count, 0 when
// the peer has closed its side, or -1 with errno (EAGAIN when nothing is
// there yet).
inline ssize_t receive_without_waiting(int fd, void* data, std::size_t size) {
    return retry_eintr([&] { return ::recv(fd, data, size, MSG_DONTWAIT); });
}

// Writes as much of the buffers (at most four) as the socket takes without
// waiting, one gathering call per attempt, and returns how much that was;
// whatever is left (or a failure) is for an asynchronous write to finish and
// report.
inline std::size_t send_without_waiting(int fd, struct iovec const* buffers, int count) {
    std::size_t done = 0;
    struct iovec rest[4];
    if (count > 4) count = 4;  // callers pass a head and a body
    for (int i = 0; i < count; ++i) rest[i] = buffers[i];
    int first = 0;
    while (first < count) {
        struct msghdr message = {};
        message.msg_iov = rest + first;
        message.msg_iovlen = static_cast<std::size_t>(count - first);
        ssize_t const sent = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) break;
        done += static_cast<std::size_t>(sent);
        std::size_t left = static_cast<std::size_t>(sent);
        while (first < count && left >= rest[first].iov_len) {
            left -= rest[first].iov_len;
            ++first;
        }
        if (first < count) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    return done;
}

inline std::size_t send_without_waiting(int fd, char const* data, std::size_t size) {
    struct iovec buffer = {const_cast<char*>(data), size};
    return send_without_waiting(fd, &buffer, 1);
}

}  // namespace orv

#endif
