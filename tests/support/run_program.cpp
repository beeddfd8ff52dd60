#include "run_program.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace orv {
namespace test {

int ProgramRun::exit_code() const { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

namespace {

std::vector<char*> c_strings(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (std::string& word : words) out.push_back(&word[0]);
    out.push_back(nullptr);
    return out;
}

}  // namespace

ProgramRun run_program(std::vector<std::string> const& argv, std::vector<std::string> const& env,
                std::string const& directory, std::chrono::seconds limit) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    std::vector<std::string> args = argv;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> const c_args = c_strings(args);
    std::vector<char*> const c_env = c_strings(environment);
    pid_t const pid = ::fork();
    if (pid == 0) {
        // Whatever else the test process has open stays out of what it runs.
        int const null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0 ||
            ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            ::_exit(126);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
        ::execve(c_args[0], c_args.data(), c_env.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);

    ProgramRun run;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    auto const deadline = std::chrono::steady_clock::now() + limit;
    for (int open = 2; open > 0;) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) == 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            ssize_t const got = ::read(fds[i].fd, chunk, sizeof(chunk));
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (struct pollfd const& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = std::chrono::steady_clock::now() < deadline ? status : -1;
    return run;
}

std::string read_file(std::string const& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long peak_rss_kib(std::string const& pid) {
    std::string const status = read_file("/proc/" + pid + "/status");
    std::size_t const at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

}  // namespace test
}  // namespace orv
