#ifndef ORV_COMMON_SYSCALL_HPP
#define ORV_COMMON_SYSCALL_HPP

#include <cerrno>

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

}  // namespace orv

#endif
