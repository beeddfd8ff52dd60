#include "ts/ts.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/read.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/logging.hpp"
#include "common/process.hpp"
#include "common/syscall.hpp"
#include "http/server.hpp"
#include "ts/service_events.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace asio = boost::asio;

namespace {

// The status listener serves a few scrapers and operators, no more.
std::size_t const STATUS_CONNECTIONS = 16;
std::size_t const STATUS_CONNECTIONS_PER_ADDRESS = 4;

// A scrape is one short GET: its client gets a second for each wait and a
// few for the whole request, so that one client trickling bytes cannot hold
// the listener's few connections for the half minute a service client may
// take. Shorter periods (the tests') stay.
net::http::Deadlines status_deadlines(net::http::Deadlines const& network) {
    net::http::Deadlines deadlines;
    deadlines.wait = std::min<std::chrono::steady_clock::duration>(network.wait, std::chrono::seconds(1));
    deadlines.head = std::min<std::chrono::steady_clock::duration>(network.head, std::chrono::seconds(3));
    deadlines.request = std::min<std::chrono::steady_clock::duration>(network.request, std::chrono::seconds(3));
    return deadlines;
}

// One event-loop thread per 50 allowed workers, between 5 and 50.
std::size_t pool_size(ServiceConfig const& config) {
    if (config.threads != 0) return config.threads;
    return static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(config.max_workers / 50, 5), 50));
}

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

std::vector<net::http::ListenAddress> listen_addresses(ServiceConfig const& config) {
    if (!config.listen.empty()) return config.listen;
    return {net::http::ListenAddress::tcp_address(config.address, config.port)};
}

// The service port's connections.
net::http::ConnectionSettings connection_settings(ServiceConfig const& config, net::http::ServerStats* stats) {
    net::http::ConnectionSettings settings;
    settings.deadlines = config.timing.network;
    settings.keep_alive = config.keep_alive;
    if (!config.trusted_proxies.empty()) settings.trusted = &config.trusted_proxies;
    settings.require_proxy_header = config.require_proxy_header;
    settings.per_address_limit = config.max_connections_per_address;
    settings.stats = stats;
    return settings;
}

// The status port's: short deadlines, and a share for one address, so that
// nobody takes every slot from the monitoring that needs them.
net::http::ConnectionSettings status_connection_settings(ServiceConfig const& config) {
    net::http::ConnectionSettings settings;
    settings.deadlines = status_deadlines(config.timing.network);
    settings.per_address_limit = STATUS_CONNECTIONS_PER_ADDRESS;
    return settings;
}

Worker::Settings worker_settings(ServiceConfig const& config, ServiceStats& stats) {
    Worker::Settings settings;
    settings.kill_escalation = config.timing.kill_escalation;
    settings.max_reply_size = config.max_reply_size;
    settings.request_timeout = config.request_timeout;
    settings.stats = &stats;
    settings.identity = config.worker_identity;
    return settings;
}

double random_start() {
    std::random_device device;
    return std::uniform_real_distribution<double>(0.0, 1.0)(device);
}

ServiceConfig designed_config(std::string const& address, int port, std::string const& worker_program,
                              std::vector<std::string> const& worker_args, std::uint64_t min_workers,
                              std::uint64_t max_workers, std::string const& service_name,
                              std::string const& group_name) {
    ServiceConfig config;
    config.address = address;
    config.port = port;
    config.worker_program = worker_program;
    config.worker_args = worker_args;
    config.min_workers = min_workers;
    config.max_workers = max_workers;
    config.service_name = service_name;
    config.group_name = group_name;
    return config;
}

}  // namespace

TaskService::TaskService(std::string const& address, int port, std::string const& worker_program,
                         std::vector<std::string> const& worker_args, std::uint64_t min_workers,
                         std::uint64_t max_workers, std::string const& service_name,
                         std::string const& group_name)
    : TaskService(designed_config(address, port, worker_program, worker_args, min_workers, max_workers,
                                  service_name, group_name)) {}

TaskService::TaskService(ServiceConfig const& config)
    : config_(config),
      started_(std::chrono::system_clock::now()),
      worker_settings_(worker_settings(config, stats_)),
      state_(running),
      io_context_(),
      messaging_server_(io_context_, listen_addresses(config_), *this, config.service_name, config.group_name,
                        config.max_connections, connection_settings(config_, &http_stats_)),
      control_(io_context_.get_executor()),
      signal_fd_(io_context_),
      lifespan_(config.max_requests, config.max_requests_jitter, random_start()),
      queue_(config.queue),
      heartbeat_timer_(io_context_),
      tick_(0),
      recycling_(false),
      replies_seen_(0) {
    if (queue_.capacity() != 0) worker_settings_.on_idle = [this] { serve_queue(); };
    run();
}

TaskService::~TaskService() = default;

// Runs the service until every worker is gone after a termination signal.
// Only this thread has the handled signals unblocked, so the signal handler
// always runs here and the pool threads never see a signal.
void TaskService::run() {
    LOG(INFO) << "Starting task service...";
    open_status_listener();
    process::block_all_signals();

    heartbeat_timer_.expires_after(config_.timing.heartbeat);
    heartbeat_timer_.async_wait(asio::bind_executor(control_, boost::bind(&TaskService::heartbeat, this)));

    boost::thread_group pool;
    try {
        for (std::size_t i = pool_size(config_); i > 0; --i) {
            pool.create_thread([this] { io_context_.run(); });
        }
        signal_fd_.assign(process::setup_signal_handler({SIGCHLD, SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2}));
        messaging_server_.start();
        if (status_server_) status_server_->start();
    } catch (std::exception const&) {
        io_context_.stop();
        pool.join_all();
        throw;
    }
    if (config_.events != nullptr) config_.events->listening(messaging_server_.port());

    // Consumes signals that arrived before the first wait and arms it.
    asio::dispatch(control_, [this] { signal_fd_handler(boost::system::error_code()); });
    pool.join_all();
    LOG(INFO) << "Exiting...";
}

// A second, read-only HTTP endpoint in the same event loop, with a small
// connection limit of its own; it stays open while a stop is under way so
// that /health can say so, and closes when the service has stopped.
void TaskService::open_status_listener() {
    if (config_.status_address.empty()) return;
    status_handler_.reset(new StatusHandler([this] { return status_snapshot(); },
                                            [this] { return state_ == running; }));
    status_server_.reset(new net::http::Server(io_context_, config_.status_address, config_.status_port,
                                               *status_handler_, STATUS_CONNECTIONS,
                                               status_connection_settings(config_)));
}

StatusSnapshot TaskService::status_snapshot() {
    StatusSnapshot s;
    s.version = ORV_VERSION;
    s.service = config_.service_name;
    s.group = config_.group_name;
    s.pid = ::getpid();
    std::chrono::duration<double> const since_epoch = started_.time_since_epoch();
    s.start_time = since_epoch.count();
    s.uptime = std::chrono::duration<double>(std::chrono::system_clock::now() - started_).count();
    {
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        for (auto const& entry : workers_.workers()) {
            Worker const& worker = *entry.second;
            Worker::State const state = worker.state();
            bool const dying = state == Worker::State::error || state == Worker::State::terminating;
            (state == Worker::State::idle ? s.idle : dying ? s.dying : s.busy) += 1;
            s.workers.push_back({entry.first, worker.pid(), Worker::state_name(state), worker.requests_served()});
        }
    }
    s.max_workers = config_.max_workers;
    s.connections_open = messaging_server_.open_connections();
    std::array<std::size_t, 3> const states = messaging_server_.connection_states();
    std::copy(states.begin(), states.end(), s.connections.begin());
    s.connections_reused = http_stats_.reuses();
    for (std::size_t i = 0; i < OUTCOMES; ++i) s.requests[i] = stats_.total(static_cast<Outcome>(i));
    for (std::size_t i = 0; i < HTTP_ERRORS.size(); ++i) s.http_errors[i] = http_stats_.responses(HTTP_ERRORS[i]);
    s.worker_starts = stats_.worker_starts.load(std::memory_order_relaxed);
    s.worker_exits = stats_.worker_exits.load(std::memory_order_relaxed);
    s.worker_signals = stats_.worker_signals.load(std::memory_order_relaxed);
    s.connection_refusals = http_stats_.refusals();
    s.duration_buckets = http_stats_.cumulative_buckets();
    s.duration_count = http_stats_.duration_count();
    s.duration_sum = static_cast<double>(http_stats_.duration_sum_us()) / 1e6;
    s.queue_capacity = queue_.capacity();
    s.queue_length = queue_.length();
    s.queue_timeouts = stats_.queue_timeouts.load(std::memory_order_relaxed);
    s.queue_overflows = stats_.queue_overflows.load(std::memory_order_relaxed);
    s.queue_abandoned = stats_.queue_abandoned.load(std::memory_order_relaxed);
    s.queue_wait_buckets = queue_waits_.cumulative_buckets();
    s.queue_wait_count = queue_waits_.duration_count();
    s.queue_wait_sum = static_cast<double>(queue_waits_.duration_sum_us()) / 1e6;
    return s;
}

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
