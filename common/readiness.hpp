#ifndef ORV_COMMON_READINESS_HPP
#define ORV_COMMON_READINESS_HPP

#include <chrono>
#include <string>

namespace orv {
namespace daemon {

// A pipe from a detached daemon back to the command that launched it, so
// that the launcher's exit status tells whether the daemon came up: 0 once
// the daemon says it is ready, 1 (with the daemon's own failure text on
// standard error) when it fails first, exits, or stays silent too long.
class Readiness {
public:
    Readiness();
    ~Readiness();
    Readiness(Readiness const&) = delete;
    Readiness& operator=(Readiness const&) = delete;

    // The daemon's end, to keep open across daemonizing; -1 once reported.
    int report_fd() const { return write_fd_; }

    // The launcher's side, run in the invoking process after the fork
    // (daemonize's parent_wait): waits at most `patience` and returns the
    // launcher's exit status.
    int wait(std::chrono::milliseconds patience);

    // In the daemon, after daemonizing: the launcher's end was closed there.
    void in_daemon() { read_fd_ = -1; }

    // The daemon's side: the first report counts; later ones do nothing.
    void ready();
    void failed(std::string const& text);

private:
    void report(char kind, std::string const& text);

    int read_fd_;
    int write_fd_;
};

}  // namespace daemon
}  // namespace orv

#endif
