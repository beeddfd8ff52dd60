#ifndef ORV_TESTS_COMMON_CHILD_HPP
#define ORV_TESTS_COMMON_CHILD_HPP

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace orv {
namespace test {

// Runs body in a forked child so that whatever it does to signal masks,
// descriptors or the process itself never touches the test runner. Returns
// the raw wait status.
inline int run_in_child(std::function<int()> const& body) {
    pid_t const pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    return status;
}

inline bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

}  // namespace test
}  // namespace orv

#endif
