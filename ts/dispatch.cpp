// Request dispatch and worker balancing: which worker serves a request, and
// how many workers the pool keeps.
#include <malloc.h>

#include <limits>

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
                               net::http::ClientWatch const& watch_client) {
    LOG(INFO) << "Processing request to " << logging::client_text(path) << "...";
    Refusal refusal;
    try {
        // A new request never overtakes those already waiting.
        boost::shared_ptr<Worker> worker;
        if (queue_.length() == 0) {
            worker = find_worker(refusal);
        } else {
            refusal = no_worker_reason();
        }
        if (worker && send(worker, client.address, path, body, on_reply, on_error, refusal)) return;
        if (worker) {
            // Idle again, unless it broke: it may be wanted.
            serve_queue();
        } else if (may_wait(refusal)) {
            if (enqueue(WaitingRequest{path, client.address, body, on_reply, on_error, {}, {}}, watch_client)) return;
            stats_.queue_overflows.fetch_add(1, std::memory_order_relaxed);
        }
    } catch (std::exception const& e) {
        refusal = Refusal{Outcome::worker_failed, e.what(), false};
    }
    refuse(path, refusal, on_error);
}

// The lowest-numbered idle worker, or a new one, started; null with the
// refusal when neither can be had.
boost::shared_ptr<Worker> TaskService::find_worker(Refusal& refusal) {
    boost::shared_ptr<Worker> worker;
    {
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        worker = workers_.acquire_idle();
    }
    if (!worker) worker = reserve_worker(refusal);
    if (worker && worker->state() == Worker::State::created && !start_worker(worker, refusal)) return nullptr;
    return worker;
}

// Why no new worker may start now; false when one may. The caller holds
// workers_mutex_.
bool TaskService::start_refused(Refusal& refusal) const {
    std::uint64_t const n = workers_.size();
    if (state_ != running) {
        refusal = Refusal{Outcome::refused_stopping, "The service is stopping.", true};
    } else if (start_throttle_.paused(StartThrottle::Clock::now())) {
        refusal = Refusal{Outcome::crash_loop, "Worker starts are paused: the worker program keeps dying.", true};
    } else if ((config_.max_workers != 0 && n >= config_.max_workers) || n >= MAX_WORKER_COUNT) {
        refusal = Refusal{Outcome::no_worker, "Worker limit has exceeded.", false};
    } else {
        return false;
    }
    return true;
}

// What a request that finds no worker is told.
Refusal TaskService::no_worker_reason() {
    Refusal refusal;
    boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
    if (!start_refused(refusal)) refusal = Refusal{Outcome::no_worker, "Worker limit has exceeded.", false};
    return refusal;
}

// A new worker, created and in the table but not started: only the checks,
// the numbering and the insertion hold the table's lock, the fork does not.
// Below the limit, workers that became idle since the caller looked are not
// looked at again: a new one is made. At the limit, one of them is taken
// (busy) rather than a 503 sent. Null with the refusal otherwise.
boost::shared_ptr<Worker> TaskService::reserve_worker(Refusal& refusal) {
    boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
    if (start_refused(refusal)) {
        return refusal.outcome == Outcome::no_worker ? workers_.acquire_idle() : boost::shared_ptr<Worker>();
    }
    std::uint64_t const n = workers_.size();
    boost::shared_ptr<Worker> const worker = Worker::create(workers_.free_number(), loops_.current(), worker_settings_);
    worker->set_request_limit(lifespan_.next());
    workers_.insert(worker);
    busy_history_.record(tick_, n + 1);
    return worker;
}

// A worker that fails to start stays in the table, in error, for the next
// tick to remove.
bool TaskService::start_worker(boost::shared_ptr<Worker> const& worker, Refusal& refusal) {
    LOG(INFO) << "Starting a new worker #" << worker->id() << "...";
    try {
        worker->start(config_.service_name, config_.group_name, config_.worker_program, config_.worker_args,
                      fork_mutex_);
    } catch (std::exception const& e) {
        refusal = Refusal{Outcome::start_failed, e.what(), false};
        return false;
    }
    stats_.worker_starts.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// False, with the refusal for the client, when the request could not be
// queued to the worker: the worker is then idle again (or broken).
bool TaskService::send(boost::shared_ptr<Worker> const& worker, std::string const& client_address,
                       std::string const& path, std::string const& body,
                       net::messaging::ReplyCallback const& on_reply, net::messaging::ErrorCallback const& on_error,
                       Refusal& refusal) {
    try {
        worker->attach(loops_.current());
        worker->send_request(client_address, path, body, on_reply, on_error);
        return true;
    } catch (std::exception const& e) {
        refusal = Refusal{Outcome::worker_failed, e.what(), false};
        return false;
    }
}

// The designed answer to a request no worker takes: "503 Service
// Unavailable" with an empty body, and one line for the reason.
void TaskService::refuse(std::string const& path, Refusal const& refusal,
                         net::messaging::ErrorCallback const& on_error) {
    if (refusal.rejected) {
        LOG(INFO) << "A request to " << logging::client_text(path) << " has been rejected: " << refusal.text;
    } else {
        LOG(ERROR) << "Failed to process a request to " << logging::client_text(path) << ": " << refusal.text;
    }
    stats_.count(refusal.outcome);
    on_error(net::messaging::ServiceUnavailableError("Service unavailable."));
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
    check_worker_memory();

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
    if (dead_workers) {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        workers_.sweep();
    }
    // Room may have been made, or a pause be over; once stopping with no
    // worker left, this answers whoever still waits.
    serve_queue();
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        if (state_ == running || !workers_.empty()) return false;
        state_ = stopped;
    }
    LOG(INFO) << "All workers are stopped. Stopping the main loop.";
    cancel_signal_wait();
    if (status_server_) status_server_->stop();
    // The other loops end once their connections are done.
    loops_.release();
    return true;
}

}  // namespace ts
}  // namespace orv
