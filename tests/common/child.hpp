#ifndef ORV_TESTS_COMMON_CHILD_HPP
#define ORV_TESTS_COMMON_CHILD_HPP

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "run_program.hpp"

namespace orv {
namespace test {

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

// Runs body(fd) as exit_code_in_child does, with fd the write end of a pipe:
// what the child wrote there, and its exit code in `code`.
inline std::string output_of_child(std::function<int(int)> const& body, int& code) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    code = exit_code_in_child([&] {
        ::close(fds[0]);
        return body(fds[1]);
    });
    ::close(fds[1]);
    std::string text;
    char chunk[512];
    for (ssize_t got; (got = ::read(fds[0], chunk, sizeof(chunk))) > 0;) text.append(chunk, static_cast<std::size_t>(got));
    ::close(fds[0]);
    return text;
}

}  // namespace test
}  // namespace orv

#endif
