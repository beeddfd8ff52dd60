// Request dispatch and worker balancing: which worker serves a request, and
// how many workers the pool keeps.
#include <malloc.h>

#include <limits>
#include <stdexcept>

#include <boost/asio/bind_executor.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "common/log_text.hpp"
#include "common/logging.hpp"
#include "http/server.hpp"
#include "ts/service_events.hpp"
#include "ts/ts.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace {

// A request the service refused, as opposed to one that failed.
class RequestRejectedError : public std::runtime_error {
public:
    RequestRejectedError(Outcome outcome, char const* message) : std::runtime_error(message), outcome(outcome) {}

    Outcome outcome;
};

// Raised where a worker cannot be had, to count why.
class NoWorkerError : public Exception {
public:
    NoWorkerError(Outcome outcome, std::string const& message) : Exception(message), outcome(outcome) {}

    Outcome outcome;
};

std::uint64_t const MAX_WORKER_COUNT = std::numeric_limits<int>::max();
// Old log files are looked for at the first tick and then every hour.
std::uint64_t const LOG_CLEANING_TICKS = 3600;
// Memory goes back to the system when at most this many connections are
// open and at least this much is free in the allocator.
std::size_t const QUIET_CONNECTIONS = 4;
std::size_t const TRIM_THRESHOLD = 8u << 20;

}  // namespace

void TaskService::handle_async(std::string const&, std::string const&,
                               net::http::Peer const& client,
                               std::string const& path, std::string const& body,
                               net::messaging::ReplyCallback const& on_reply,
                               net::messaging::ErrorCallback const& on_error,
                               net::http::ClientWatch const&) {
    LOG(INFO) << "Processing request to " << logging::client_text(path) << "...";
    try {
        boost::shared_ptr<Worker> worker;
        {
            boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
            worker = workers_.acquire_idle();
        }
        if (!worker) worker = create_worker();
        worker->send_request(client.address, path, body, on_reply, on_error);
    } catch (RequestRejectedError const& e) {
        LOG(INFO) << "A request to " << logging::client_text(path) << " has been rejected: " << e.what();
        stats_.count(e.outcome);
        on_error(net::messaging::ServiceUnavailableError("Service unavailable."));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to process a request to " << logging::client_text(path) << ": " << e.what();
        NoWorkerError const* reason = dynamic_cast<NoWorkerError const*>(&e);
        stats_.count(reason != nullptr ? reason->outcome : Outcome::worker_failed);
        on_error(net::messaging::ServiceUnavailableError("Service unavailable."));
    }
}

// Creates and starts worker number n, the smallest free one. Only the checks,
// the numbering and the insertion hold the table's lock; the fork does not.
// Below the limit, workers that became idle since the caller looked are not
// looked at again: a new one is started.
boost::shared_ptr<Worker> TaskService::create_worker() {
    boost::shared_ptr<Worker> worker;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        if (state_ != running) throw RequestRejectedError(Outcome::refused_stopping, "The service is stopping.");
        if (start_throttle_.paused(StartThrottle::Clock::now())) {
            throw RequestRejectedError(Outcome::crash_loop, "Worker starts are paused: the worker program keeps dying.");
        }
        std::uint64_t const n = workers_.size();
        if ((config_.max_workers != 0 && n >= config_.max_workers) || n >= MAX_WORKER_COUNT) {
            // At the limit, a worker that became idle since the caller
            // looked serves the request rather than a 503 being sent.
            worker = workers_.acquire_idle();
            if (worker) return worker;
            throw NoWorkerError(Outcome::no_worker, "Worker limit has exceeded.");
        }
        worker = Worker::create(workers_.free_number(), io_context_, worker_settings_);
        workers_.insert(worker);
        busy_history_.record(tick_, n + 1);
    }
    LOG(INFO) << "Starting a new worker #" << worker->id() << "...";
    try {
        worker->start(config_.service_name, config_.group_name, config_.worker_program, config_.worker_args,
                      fork_mutex_);
    } catch (std::exception const& e) {
        throw NoWorkerError(Outcome::start_failed, e.what());
    }
    stats_.worker_starts.fetch_add(1, std::memory_order_relaxed);
    return worker;
}

// A fixed rate: the next expiry follows the previous one, not the end of this
// run.
void TaskService::arm_heartbeat() {
    heartbeat_timer_.expires_at(heartbeat_timer_.expiry() + config_.timing.heartbeat);
    heartbeat_timer_.async_wait(boost::asio::bind_executor(control_, boost::bind(&TaskService::heartbeat, this)));
}

// One tick: census and statistics, the balancing decision, the kills, the
// sweep of dead workers and, once stopping, the end of the run. It also runs
// when the timer is cancelled by the first termination signal.
void TaskService::heartbeat() {
    Census census;
    std::uint64_t max_busy, tick;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        census = workers_.census();
        busy_history_.record(tick_, census.busy());
        max_busy = busy_history_.max();
        tick = ++tick_;
        busy_history_.start_tick(tick_);
    }
    logging::flush_repeats();
    if (tick % LOG_CLEANING_TICKS == 1) logging::remove_overdue_logs(config_.log_keep_days);
    note_replies();
    give_memory_back(census);

    if (config_.events != nullptr) config_.events->census(census.count, census.busy(), census.idle);
    finish_recycling(census);

    ServiceState const state = static_cast<ServiceState>(state_.load());
    BalanceDecision const decision = decide_balance(state, census.count, max_busy, config_.min_workers, tick,
                                                    messaging_server_.open_connections() > 0);
    if (decision.log_census) log_census(census, max_busy);

    std::vector<boost::shared_ptr<Worker>> to_kill = std::move(census.dying);
    if (decision.kill > 0) {
        if (state == running) LOG(INFO) << "Balance workers by killing " << decision.kill << " of idle workers...";
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        auto const picked = pick_for_kill(workers_.descending(), decision.kill, decision.force,
                                          [](boost::shared_ptr<Worker> const& worker) {
                                              return worker->try_acquire_for_termination();
                                          });
        to_kill.insert(to_kill.end(), picked.begin(), picked.end());
    }

    bool dead_workers = census.dead;
    for (auto const& worker : to_kill) {
        if (worker->kill()) dead_workers = true;
    }
    if (sweep_and_stop(dead_workers)) return;  // the last tick: the timer is not armed again
    arm_heartbeat();
}

// A reply from any worker ends a crash-loop pause: the program works again.
void TaskService::note_replies() {
    std::uint64_t const replies = stats_.total(Outcome::ok);
    if (replies == replies_seen_) return;
    replies_seen_ = replies;
    boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
    start_throttle_.answered();
}

// After a burst the allocator keeps what it had, often hundreds of
// megabytes of freed request and reply buffers. Once the service is quiet
// (no busy worker, hardly a connection) and enough lies free, it goes back.
void TaskService::give_memory_back(Census const& census) {
    if (census.busy() != 0 || messaging_server_.open_connections() > QUIET_CONNECTIONS) return;
    if (::mallinfo2().fordblks < TRIM_THRESHOLD) return;
    ::malloc_trim(0);
}

void TaskService::log_census(Census const& census, std::uint64_t max_busy) const {
    std::uint64_t const busy = census.busy();
    LOG(INFO) << "We have " << census.count << " workers: " << busy << " is busy, " << census.idle
              << " is idle. Current business: " << (census.count == 0 ? 0 : busy * 100 / census.count) << "%. "
              << "Max busy workers over the last time: " << max_busy << ".";
}

// Removes dead workers; once stopping and the table is empty, the service is
// stopped and the signal wait cancelled, so the pool runs out of work.
bool TaskService::sweep_and_stop(bool dead_workers) {
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        if (dead_workers) workers_.sweep();
        if (state_ == running || !workers_.empty()) return false;
        state_ = stopped;
    }
    LOG(INFO) << "All workers are stopped. Stopping the main loop.";
    cancel_signal_wait();
    if (status_server_) status_server_->stop();
    return true;
}

}  // namespace ts
}  // namespace orv
