#include "ts/ts.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

#include <boost/asio/read.hpp>
#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/process.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace {

// One event-loop thread per 50 allowed workers, between 5 and 50.
std::size_t pool_size(std::uint64_t max_workers) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(max_workers / 50, 5), 50));
}

}  // namespace

TaskService::TaskService(std::string const& address, int port, std::string const& worker_program,
                         std::vector<std::string> const& worker_args, std::uint64_t min_workers,
                         std::uint64_t max_workers, std::string const& service_name,
                         std::string const& group_name)
    : service_name_(service_name),
      group_name_(group_name),
      worker_program_(worker_program),
      worker_args_(worker_args),
      min_workers_(min_workers),
      max_workers_(max_workers),
      state_(running),
      io_context_(),
      messaging_server_(io_context_, address, port, *this, service_name, group_name),
      signal_fd_(io_context_),
      heartbeat_timer_(io_context_),
      tick_(0) {
    run();
}

TaskService::~TaskService() = default;

// Runs the service until every worker is gone after a termination signal.
// Only this thread has the four handled signals unblocked, so the signal
// handler always runs here and the pool threads never see a signal.
void TaskService::run() {
    LOG(INFO) << "Starting task service...";
    process::block_all_signals();

    heartbeat_timer_.expires_at(boost::posix_time::microsec_clock::universal_time() +
                                boost::posix_time::seconds(1));
    heartbeat_timer_.async_wait(boost::bind(&TaskService::heartbeat, this));

    boost::thread_group pool;
    try {
        for (std::size_t i = pool_size(max_workers_); i > 0; --i) {
            pool.create_thread([this] { io_context_.run(); });
        }
        signal_fd_.assign(process::setup_signal_handler({SIGCHLD, SIGINT, SIGTERM, SIGQUIT}));
        messaging_server_.start();
    } catch (std::exception const&) {
        io_context_.stop();
        pool.join_all();
        throw;
    }

    // Consumes signals that arrived before the first wait and arms it.
    signal_fd_handler(boost::system::error_code());
    pool.join_all();
    LOG(INFO) << "Exiting...";
}

void TaskService::arm_signal_wait() {
    boost::lock_guard<boost::mutex> lock(io_objects_mutex_);
    signal_fd_.async_wait(boost::asio::posix::descriptor_base::wait_read,
                          boost::bind(&TaskService::signal_fd_handler, this, boost::placeholders::_1));
}

void TaskService::signal_fd_handler(boost::system::error_code const& ec) {
    if (ec) {
        if (ec != boost::asio::error::operation_aborted) {
            LOG(ERROR) << "Failed to read data from signal file descriptor: " << ec.message();
        }
        return;
    }

    for (int signal : read_signals()) handle_signal(signal);
    arm_signal_wait();

    // The heartbeat may have stopped the service while this handler ran.
    boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
    if (state_ == stopped) cancel_signal_wait();
}

// Takes every complete signal number waiting in the pipe. A failing read is
// logged and the wait goes on: losing one notification is better than losing
// the daemon.
std::vector<int> TaskService::read_signals() {
    std::vector<int> signals;
    boost::lock_guard<boost::mutex> lock(io_objects_mutex_);
    boost::asio::posix::stream_descriptor::bytes_readable readable;
    boost::system::error_code error;
    signal_fd_.io_control(readable, error);
    for (std::size_t n = error ? 0 : readable.get() / sizeof(int); n > 0 && !error; --n) {
        int signal = 0;
        boost::asio::read(signal_fd_, boost::asio::buffer(&signal, sizeof(signal)), error);
        if (!error) signals.push_back(signal);
    }
    if (error) LOG(ERROR) << "Failed to read data from signal file descriptor: " << error.message();
    return signals;
}

void TaskService::handle_signal(int signal) {
    if (signal == SIGCHLD) {
        reap_children();
        return;
    }
    LOG(INFO) << "Termination signal (" << signal << ") received. Stopping the service...";
    int old_state;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        old_state = state_;
        if (old_state == running || old_state == stopping) {
            state_ = signal == SIGQUIT ? stopping_forced : stopping;
        }
    }
    if (old_state == running) {
        messaging_server_.stop();
        // The pending heartbeat runs at once instead of at the next second.
        boost::lock_guard<boost::mutex> lock(io_objects_mutex_);
        boost::system::error_code ignored;
        heartbeat_timer_.cancel(ignored);
    }
}

void TaskService::reap_children() {
    for (;;) {
        pid_t const pid = ::waitpid(-1, nullptr, WNOHANG);
        if (pid > 0) {
            child_terminated(pid);
        } else if (pid == 0) {
            return;
        } else if (errno != EINTR) {
            if (errno != ECHILD) LOG(ERROR) << "Failed to waitpid() for a child: " << error_string(errno) << ".";
            return;
        }
    }
}

void TaskService::child_terminated(int pid) {
    LOG(INFO) << "Child " << pid << " terminated.";
    int number = -1;
    boost::shared_ptr<Worker> found;
    bool unexpected = false;
    bool removable = false;
    {
        // Exclusive fork_mutex_: a worker that forked a moment ago has its
        // pid recorded before it can be looked up here.
        boost::shared_lock<boost::shared_mutex> workers_lock(workers_mutex_);
        boost::unique_lock<boost::shared_mutex> fork_lock(fork_mutex_);
        for (auto const& entry : workers_) {
            Worker& worker = *entry.second;
            if (worker.pid() != pid) continue;
            number = entry.first;
            found = entry.second;
            unexpected = worker.kill_time() == 0;
            worker.try_acquire_for_termination();
            worker.set_pid(0);
            Worker::State const state = worker.state();
            removable = state == Worker::State::error || state == Worker::State::terminating;
            break;
        }
    }
    if (number < 0) return;
    if (unexpected) LOG(ERROR) << "Worker #" << number << " unexpectedly terminated.";
    if (removable) {
        if (!unexpected) LOG(INFO) << "Worker #" << number << " terminated.";
        // Between the two locks the heartbeat may have removed this worker
        // and a new one may have taken its number; that one must stay.
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        auto const entry = workers_.find(number);
        if (entry != workers_.end() && entry->second == found) workers_.erase(entry);
    }
}

void TaskService::cancel_signal_wait() {
    boost::system::error_code ec;
    {
        boost::lock_guard<boost::mutex> lock(io_objects_mutex_);
        signal_fd_.cancel(ec);
    }
    if (ec) LOG(ERROR) << "Failed to cancel the signal FD handler: " << ec.message();
}

}  // namespace ts
}  // namespace orv
