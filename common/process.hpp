#ifndef ORV_COMMON_PROCESS_HPP
#define ORV_COMMON_PROCESS_HPP

#include <functional>
#include <set>
#include <vector>

namespace orv {
namespace process {

// Blocks every signal in the calling thread; threads created afterwards
// inherit the mask.
void block_all_signals();

// Routes the given signals into a non-blocking self-pipe, one native-endian
// 4-byte int per caught signal, and unblocks them in the calling thread only.
// Returns the read end. At most one signal pipe exists per process.
int setup_signal_handler(std::vector<int> const& signals);

// Waits for SIGINT, SIGTERM or SIGQUIT (which the caller must have blocked)
// and returns its number, or 0 when the wait fails.
int wait_for_termination_signal();

// Closes every open descriptor that is not in keep.
void close_all_fds(std::set<int> const& keep);

// Forks. The child optionally gets an empty signal mask (after the handled
// signals are back at their default action and the signal pipe is closed)
// and optionally keeps only the descriptors in keep. Returns the child's pid
// in the parent and 0 in the child; a child whose set-up fails reports it on
// standard error and exits with status 1.
int fork_process(bool unblock_signals, bool close_fds, std::set<int> const& keep);

namespace detail {
// Cleared by tests to exercise the listing of /proc/self/fd that stands in
// for close_range on older kernels.
extern bool use_close_range;
}  // namespace detail

}  // namespace process

namespace daemon {

// What the invoking process does after the fork instead of exiting with 0 at
// once: its result becomes that process's exit status.
typedef std::function<int()> ParentWait;

// Detaches the program from its terminal (when detach is set the invoking
// process exits inside this call, with 0 or what parent_wait returns), moves
// to "/", clears the umask, ignores SIGHUP and points standard input at
// "/dev/null".
void daemonize(std::set<int> keep, bool detach, ParentWait const& parent_wait = ParentWait());

}  // namespace daemon
}  // namespace orv

#endif
