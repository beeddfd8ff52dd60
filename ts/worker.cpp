#include "ts/worker.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/shared_lock_guard.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/process.hpp"
#include "common/syscall.hpp"
#include "ts/worker_exec.hpp"

namespace orv {
namespace ts {

namespace {

Worker::TimePoint steady_now() { return std::chrono::steady_clock::now(); }

// The exchange states in which the stored callbacks still owe the client
// its answer.
bool owes_answer(Worker::ConnectionState state) {
    return state == Worker::ConnectionState::sending_request ||
           state == Worker::ConnectionState::receiving_reply_size ||
           state == Worker::ConnectionState::receiving_reply;
}

void close_socket_fd(int fd) {
    if (close_descriptor(fd) == -1) {
        LOG(ERROR) << "Unable to close a socket: " << std::strerror(errno);
    }
}

}  // namespace

char const* const Worker::state_names_[5] = {"created", "idle", "busy", "error", "terminating"};

char const* const Worker::connection_state_names_[5] = {
    "idle", "sending-request", "receiving-reply-size", "receiving-reply", "waiting-for-completion"};

std::size_t const Worker::BUFFER_SIZE;

Worker::Worker(int number, boost::asio::io_context& io, Settings const& settings)
    : id_(number),
      pid_(0),
      state_(State::created),
      connection_state_(ConnectionState::idle),
      retiring_(false),
      socket_(io),
      channel_fd_(-1),
      buffer_(BUFFER_SIZE),
      reply_size_(0),
      answer_owed_(false),
      request_timer_(io),
      request_number_(0),
      served_(0),
      request_limit_(0),
      kill_time_(0),
      settings_(settings),
      clock_(&steady_now) {}

boost::shared_ptr<Worker> Worker::create(int number, boost::asio::io_context& io, Settings const& settings) {
    return boost::shared_ptr<Worker>(new Worker(number, io, settings));
}

char const* Worker::state_name(State state) { return state_names_[static_cast<int>(state)]; }

char const* Worker::connection_state_name(ConnectionState state) {
    return connection_state_names_[static_cast<int>(state)];
}

void Worker::start(std::string const& service, std::string const& group, std::string const& program,
                   std::vector<std::string> const& args, boost::shared_mutex& fork_mutex) {
    if (state_ != State::created) throw LogicalError();

    int fds[2] = {-1, -1};
    try {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == -1) {
            throw Exception("Unable to create a socket pair: %1%.", error_string(errno));
        }
        socket_.assign(boost::asio::local::stream_protocol(), fds[0]);
        channel_fd_ = fds[0];
        fds[0] = -1;  // the socket object owns it now

        WorkerCommand const command(id_, program, service, group, fds[1], args);
        std::set<int> const keep = {0, 1, 2, fds[1]};
        pid_t const daemon = ::getpid();
        {
            // The reaper matches reaped pids to workers under the exclusive
            // lock, so a child that dies at once is matched only after its
            // pid is recorded here.
            boost::shared_lock_guard<boost::shared_mutex> lock(fork_mutex);
            pid_t const pid = process::fork_process(true, true, keep);
            if (pid == 0) command.exec(daemon, settings_.identity);
            // The child does the same; whichever comes first, the group
            // exists before anything is signalled.
            ::setpgid(pid, pid);
            pid_ = pid;
        }
    } catch (...) {
        set_state(State::error, ConnectionState::idle);
        close_after_failed_start(fds[1]);
        if (fds[0] != -1) close_socket_fd(fds[0]);
        throw;
    }

    close_socket_fd(fds[1]);
    // Nothing is read at start: the first request's exchange tells whether
    // the program runs.
    set_state(State::busy, ConnectionState::idle);
}

void Worker::close_after_failed_start(int child_fd) {
    if (child_fd != -1) close_socket_fd(child_fd);
    channel_fd_ = -1;
    boost::system::error_code ignored;
    socket_.close(ignored);
}

// Called once the process is reaped. Whatever still holds the other end of
// the channel (a child the worker left behind, even outside its group), an
// exchange in flight can no longer be answered: shutting the socket down
// ends it at once, through the read chain's own failure path.
void Worker::process_gone() {
    pid_ = 0;
    int const fd = channel_fd_;
    if (state_ == State::busy && fd != -1) ::shutdown(fd, SHUT_RDWR);
}

// The descriptor stays the same, only the loop watching it changes: the old
// loop forgets it, the new one registers it. Whatever the old request timer
// still has queued (a cancelled wait) completes on the old loop and finds
// its request answered.
void Worker::attach(boost::asio::io_context& loop) {
    if (&socket_.get_executor().context() == &loop || !socket_.is_open()) return;
    boost::system::error_code error;
    int const fd = socket_.release(error);
    if (error) throw Exception("Unable to move the channel of worker #%1%: %2%.", id_, error.message());
    socket_ = boost::asio::local::stream_protocol::socket(loop, boost::asio::local::stream_protocol(), fd);
    request_timer_ = boost::asio::steady_timer(loop);
}

bool Worker::try_acquire_for_request() { return try_acquire_for_state(State::busy); }

bool Worker::try_acquire_for_termination() { return try_acquire_for_state(State::terminating); }

bool Worker::try_acquire_for_state(State target) {
    if (state_ != State::idle) return false;
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (state_ != State::idle || (target == State::busy && retiring_)) return false;
    set_state(target, ConnectionState::idle);
    return true;
}

// The flag first, then the attempt: whichever of this and the end of an
// exchange comes second finds both the flag and the idle state, so a
// retiring worker is never left idle.
bool Worker::retire() {
    retiring_ = true;
    return try_acquire_for_termination();
}

void Worker::set_state(State state, ConnectionState connection_state) {
    if (state_ == State::busy && owes_answer(connection_state_) &&
        !(state == State::busy && owes_answer(connection_state))) {
        net::messaging::ReplyCallback dropped_reply;
        net::messaging::ErrorCallback dropped_error;
        take_callbacks(dropped_reply, dropped_error);
    }
    connection_state_ = connection_state;
    state_ = state;
}

// A request timeout's kill: SIGKILL for the whole group at once, counted as
// a kill attempt so that the exit is not taken for a crash.
void Worker::kill_at_once() {
    pid_t const pid = pid_;
    if (pid == 0) return;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (kill_time_ == 0) {
            std::chrono::steady_clock::rep const now = clock_().time_since_epoch().count();
            kill_time_ = now != 0 ? now : 1;
        }
    }
    if (::kill(-pid, SIGKILL) == -1 && errno != ESRCH) {
        LOG(ERROR) << "Unable to kill worker #" << id_ << " [" << pid << "]: " << std::strerror(errno) << ".";
    }
}

bool Worker::kill() {
    if (state_ == State::created) return false;
    // One read: the reaper may clear pid_ meanwhile, and kill(0, ...) would
    // signal the service's whole process group.
    pid_t const pid = pid_;
    if (pid == 0) return true;

    int signal = SIGTERM;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        std::chrono::steady_clock::rep const now = clock_().time_since_epoch().count();
        if (kill_time_ == 0) {
            // 0 means "never asked to end", so a clock that reads 0 records 1.
            kill_time_ = now != 0 ? now : 1;
        } else if (std::chrono::steady_clock::duration(now - kill_time_) >= settings_.kill_escalation) {
            signal = SIGKILL;
        }
    }

    if (signal == SIGTERM) {
        LOG(INFO) << "Killing worker #" << id_ << " [" << pid << "]...";
    } else {
        LOG(ERROR) << "Forcing killing of worker #" << id_ << " [" << pid << "]...";
    }
    // The whole group: whatever the worker started ends with it.
    if (::kill(-pid, signal) == 0) return pid_ == 0;
    int const error = errno;
    if (error == ESRCH) {
        pid_ = 0;
        return true;
    }
    LOG(ERROR) << "Unable to kill worker #" << id_ << " [" << pid << "]: " << std::strerror(error)
               << ".";
    return pid_ == 0;
}

}  // namespace ts
}  // namespace orv
