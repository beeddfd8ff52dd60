#ifndef ORV_COMMON_SYSCALL_HPP
#define ORV_COMMON_SYSCALL_HPP

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace orv {

// Repeats a system call while it fails with EINTR and returns its last result.
// errno is left as the call set it.
template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Writes as much of data as the socket takes without waiting and returns
// how much that was; whatever is left (or a failure) is for an asynchronous
// write to finish and report.
inline std::size_t send_without_waiting(int fd, char const* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t const sent = ::send(fd, data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

}  // namespace orv

#endif
