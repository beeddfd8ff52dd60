// Signals and children: the signal pipe, stops, the reaping of workers.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/read.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/logging.hpp"
#include "common/syscall.hpp"
#include "ts/service_events.hpp"
#include "ts/ts.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace asio = boost::asio;

namespace {

// How a worker's process ended, for the line after the designed ones.
std::string describe_exit(int number, pid_t pid, int status) {
    std::string text = "Worker #" + std::to_string(number) + " [" + std::to_string(pid) + "] ";
    if (WIFSIGNALED(status)) {
        int const signal = WTERMSIG(status);
        char const* name = ::sigdescr_np(signal);
        return text + "was killed by signal " + std::to_string(signal) + " (" + (name ? name : "unknown") + ").";
    }
    return text + "exited with status " + std::to_string(WEXITSTATUS(status)) + ".";
}

}  // namespace

void TaskService::arm_signal_wait() {
    signal_fd_.async_wait(asio::posix::descriptor_base::wait_read,
                          asio::bind_executor(control_, boost::bind(&TaskService::signal_fd_handler, this,
                                                                    boost::placeholders::_1)));
}

void TaskService::signal_fd_handler(boost::system::error_code const& ec) {
    if (ec) {
        if (ec != asio::error::operation_aborted) {
            LOG(ERROR) << "Failed to read data from signal file descriptor: " << ec.message();
        }
        return;
    }
    for (int signal : read_signals()) handle_signal(signal);
    // On the strand the heartbeat cannot have stopped the service meanwhile:
    // once it has, no wait is armed again.
    if (state_ != stopped) arm_signal_wait();
}

// Takes every complete signal number waiting in the pipe. A failing read is
// logged and the wait goes on: losing one notification is better than losing
// the daemon.
std::vector<int> TaskService::read_signals() {
    std::vector<int> signals;
    asio::posix::stream_descriptor::bytes_readable readable;
    boost::system::error_code error;
    signal_fd_.io_control(readable, error);
    for (std::size_t n = error ? 0 : readable.get() / sizeof(int); n > 0 && !error; --n) {
        int signal = 0;
        asio::read(signal_fd_, asio::buffer(&signal, sizeof(signal)), error);
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
    if (signal == SIGUSR1) {
        // Workers write into the files they inherited: only fresh workers
        // write into the new ones.
        LOG(INFO) << "Signal (" << signal << ") received. Reopening the capture files...";
        // A file that cannot be made leaves the old ones in use, and the
        // workers with them.
        try {
            if (logging::reopen_captures()) recycle_workers();
        } catch (std::exception const& e) {
            LOG(ERROR) << "Failed to reopen the capture files: " << e.what();
        }
        return;
    }
    if (signal == SIGUSR2) {
        LOG(INFO) << "Signal (" << signal << ") received. Replacing every worker...";
        recycle_workers();
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
        if (config_.events != nullptr) config_.events->stopping();
        messaging_server_.stop();
        keep_workers_to_the_end();
        // The pending heartbeat runs at once instead of at the next tick.
        heartbeat_timer_.cancel();
    }
    // Forced, the waiting requests are answered at once.
    serve_queue();
}

// Each exited child is first looked at without reaping it: while it is a
// zombie its pid, which is also its group's id, cannot be reused, so what the
// worker left running in its group is killed without any risk of hitting
// another process.
void TaskService::reap_children() {
    for (;;) {
        siginfo_t exited = {};
        if (::waitid(P_ALL, 0, &exited, WEXITED | WNOHANG | WNOWAIT) == -1) {
            if (errno == EINTR) continue;
            if (errno != ECHILD) LOG(ERROR) << "Failed to waitpid() for a child: " << error_string(errno) << ".";
            return;
        }
        pid_t const pid = exited.si_pid;
        if (pid == 0) return;
        ::kill(-pid, SIGKILL);
        int status = 0;
        if (retry_eintr([&] { return ::waitpid(pid, &status, WNOHANG); }) != pid) {
            LOG(ERROR) << "Failed to waitpid() for a child: " << error_string(errno) << ".";
            return;
        }
        child_terminated(pid, status);
    }
}

void TaskService::child_terminated(int pid, int status) {
    LOG(INFO) << "Child " << pid << " terminated.";
    boost::shared_ptr<Worker> worker;
    bool unexpected = false;
    bool removable = false;
    {
        // Exclusive fork_mutex_: a worker that forked a moment ago has its
        // pid recorded before it can be looked up here.
        boost::shared_lock<boost::shared_mutex> workers_lock(workers_mutex_);
        boost::unique_lock<boost::shared_mutex> fork_lock(fork_mutex_);
        worker = workers_.find_by_pid(pid);
        if (!worker) return;
        unexpected = !worker->kill_attempted();
        worker->try_acquire_for_termination();
        worker->process_gone();
        Worker::State const state = worker->state();
        removable = state == Worker::State::error || state == Worker::State::terminating;
    }
    if (unexpected) LOG(ERROR) << "Worker #" << worker->id() << " unexpectedly terminated.";
    if (unexpected && worker->requests_served() == 0) {
        bool paused;
        StartThrottle::Clock::duration pause;
        {
            boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
            paused = start_throttle_.died_early(StartThrottle::Clock::now());
            pause = start_throttle_.pause();
        }
        LOG_IF(ERROR, paused) << "The worker program " << config_.worker_program
                              << " keeps dying before it answers: starts are paused for "
                              << std::chrono::duration_cast<std::chrono::seconds>(pause).count() << " s.";
    }
    (WIFSIGNALED(status) ? stats_.worker_signals : stats_.worker_exits).fetch_add(1, std::memory_order_relaxed);
    if (removable && !unexpected) LOG(INFO) << "Worker #" << worker->id() << " terminated.";
    LOG_IF(INFO, !unexpected) << describe_exit(worker->id(), pid, status);
    LOG_IF(ERROR, unexpected) << describe_exit(worker->id(), pid, status);
    if (!removable) return;
    bool last_while_stopping;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        workers_.erase(worker);
        last_while_stopping = state_ != running && workers_.empty();
    }
    // The stop need not wait for the next tick to find the table empty.
    if (last_while_stopping) heartbeat_timer_.cancel();
    // Room for a new worker, for the oldest request waiting.
    serve_queue();
}

void TaskService::cancel_signal_wait() {
    boost::system::error_code ec;
    signal_fd_.cancel(ec);
    if (ec) LOG(ERROR) << "Failed to cancel the signal FD handler: " << ec.message();
}

}  // namespace ts
}  // namespace orv
