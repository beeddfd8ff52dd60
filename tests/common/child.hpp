#ifndef ORV_TESTS_COMMON_CHILD_HPP
#define ORV_TESTS_COMMON_CHILD_HPP

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace orv {
namespace test {

inline bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Runs body in a forked child so that whatever it does to signal masks,
// descriptors or the process itself never touches the test runner. Returns
// the child's exit code (body's result, unless it exits by itself), 128 plus
// the signal that ended it, or -1 when it could not be forked.
inline int exit_code_in_child(std::function<int()> const& body) {
    pid_t const pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test
}  // namespace orv

#endif
