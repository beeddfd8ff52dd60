#include "ts/ts.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "common/process.hpp"
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

// One event loop for every two CPUs the process may run on, at least one
// and at most the option's 50: a request costs its worker about as much CPU
// as it costs the loop, so the other half of the CPUs runs the workers.
std::size_t loop_count(ServiceConfig const& config) {
    if (config.threads != 0) return config.threads;
    return std::min<std::size_t>(std::max<std::size_t>(affinity_cpu_count() / 2, 1), 50);
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
      loops_(loop_count(config)),
      messaging_server_(loops_.all(), listen_addresses(config_), *this, config.service_name, config.group_name,
                        config.max_connections, connection_settings(config_, &http_stats_)),
      control_(loops_.primary().get_executor()),
      signal_fd_(loops_.primary()),
      lifespan_(config.max_requests, config.max_requests_jitter, random_start()),
      queue_(config.queue),
      heartbeat_timer_(loops_.primary()),
      tick_(0),
      recycling_(false),
      replies_seen_(0) {
    if (queue_.capacity() != 0) worker_settings_.on_idle = [this] { serve_queue(); };
    run();
}

TaskService::~TaskService() = default;

// Runs the service until every worker is gone after a termination signal.
// Only this thread has the handled signals unblocked, so the signal handler
// always runs here and the loops' threads never see a signal.
void TaskService::run() {
    LOG(INFO) << "Starting task service...";
    open_status_listener();
    process::block_all_signals();

    heartbeat_timer_.expires_after(config_.timing.heartbeat);
    heartbeat_timer_.async_wait(asio::bind_executor(control_, boost::bind(&TaskService::heartbeat, this)));

    try {
        loops_.start();
        signal_fd_.assign(process::setup_signal_handler({SIGCHLD, SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2}));
        messaging_server_.start();
        if (status_server_) status_server_->start();
    } catch (std::exception const&) {
        loops_.stop();
        loops_.join();
        throw;
    }
    if (config_.events != nullptr) config_.events->listening(messaging_server_.port());

    // Consumes signals that arrived before the first wait and arms it.
    asio::dispatch(control_, [this] { signal_fd_handler(boost::system::error_code()); });
    loops_.join();
    LOG(INFO) << "Exiting...";
}

// A second, read-only HTTP endpoint in the same event loop, with a small
// connection limit of its own; it stays open while a stop is under way so
// that /health can say so, and closes when the service has stopped.
void TaskService::open_status_listener() {
    if (config_.status_address.empty()) return;
    status_handler_.reset(new StatusHandler([this] { return status_snapshot(); },
                                            [this] { return state_ == running; }));
    status_server_.reset(new net::http::Server(loops_.primary(), config_.status_address, config_.status_port,
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

}  // namespace ts
}  // namespace orv
