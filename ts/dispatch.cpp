// Request dispatch and worker balancing: which worker serves a request, and
// how many workers the pool keeps.
#include <limits>
#include <stdexcept>

#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "common/exception.hpp"
#include "ts/ts.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace {

// A request the service refused, as opposed to one that failed.
class RequestRejectedError : public std::runtime_error {
public:
    explicit RequestRejectedError(char const* message) : std::runtime_error(message) {}
};

std::uint64_t const MAX_WORKER_NUMBER = std::numeric_limits<int>::max();

// The smallest non-negative number that no worker uses.
template <typename Map>
int smallest_free_number(Map const& workers) {
    int candidate = 0;
    for (auto const& entry : workers) {
        if (entry.first != candidate) break;
        ++candidate;
    }
    return candidate;
}

bool is_broken_or_dying(Worker::State state) {
    return state == Worker::State::error || state == Worker::State::terminating;
}

}  // namespace

void TaskService::handle_async(std::string const&, std::string const&,
                               boost::asio::ip::tcp::endpoint const& remote_endpoint,
                               std::string const& path, std::string const& body,
                               net::messaging::ReplyCallback const& on_reply,
                               net::messaging::ErrorCallback const& on_error) {
    LOG(INFO) << "Processing request to " << path << "...";
    try {
        boost::shared_ptr<Worker> worker = acquire_idle_worker();
        if (!worker) worker = create_worker();
        worker->send_request(remote_endpoint, path, body, on_reply, on_error);
    } catch (RequestRejectedError const& e) {
        LOG(INFO) << "A request to " << path << " has been rejected: " << e.what();
        on_error(net::messaging::ServiceUnavailableError("Service unavailable."));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to process a request to " << path << ": " << e.what();
        on_error(net::messaging::ServiceUnavailableError("Service unavailable."));
    }
}

// Reserves the lowest-numbered idle worker; the worker's own lock makes sure
// that two dispatches never win the same one.
boost::shared_ptr<Worker> TaskService::acquire_idle_worker() {
    boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
    for (auto const& entry : workers_) {
        if (entry.second->try_acquire_for_request()) return entry.second;
    }
    return boost::shared_ptr<Worker>();
}

// Creates and starts worker number n, the smallest free one. Only the checks,
// the numbering and the insertion hold the table's lock; the fork does not.
boost::shared_ptr<Worker> TaskService::create_worker() {
    boost::shared_ptr<Worker> worker;
    int number;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        if (state_ != running) throw RequestRejectedError("The service is stopping.");
        std::uint64_t const n = workers_.size();
        if ((max_workers_ != 0 && n >= max_workers_) || n >= MAX_WORKER_NUMBER) {
            throw Exception("Worker limit has exceeded.");
        }
        number = smallest_free_number(workers_);
        worker = Worker::create(number, io_context_);
        workers_[number] = worker;
        busy_history_.record(tick_, n + 1);
    }
    LOG(INFO) << "Starting a new worker #" << number << "...";
    worker->start(service_name_, group_name_, worker_program_, worker_args_, fork_mutex_);
    return worker;
}

void TaskService::arm_heartbeat() {
    // A fixed one-second rate: the next expiry follows the previous one, not
    // the end of this run.
    boost::lock_guard<boost::mutex> lock(io_objects_mutex_);
    heartbeat_timer_.expires_at(heartbeat_timer_.expires_at() + boost::posix_time::seconds(1));
    heartbeat_timer_.async_wait(boost::bind(&TaskService::heartbeat, this));
}

void TaskService::heartbeat() {
    std::vector<boost::shared_ptr<Worker>> to_kill;
    bool dead_workers = false;
    std::uint64_t count, idle, max_busy, tick;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        idle = 0;
        for (auto const& entry : workers_) {
            Worker::State const state = entry.second->state();
            if (state == Worker::State::idle) {
                ++idle;
            } else if (is_broken_or_dying(state)) {
                if (entry.second->pid() == 0) {
                    dead_workers = true;
                } else {
                    to_kill.push_back(entry.second);
                }
            }
        }
        count = workers_.size();
        busy_history_.record(tick_, count - idle);
        max_busy = busy_history_.max();
        tick = ++tick_;
        busy_history_.start_tick(tick_);
    }

    std::uint64_t const busy = count - idle;
    ServiceState const state = static_cast<ServiceState>(state_.load());
    BalanceDecision const decision = decide_balance(state, count, max_busy, min_workers_, tick);
    if (decision.log_census) {
        LOG(INFO) << "We have " << count << " workers: " << busy << " is busy, " << idle
                  << " is idle. Current business: " << (count == 0 ? 0 : busy * 100 / count) << "%. "
                  << "Max busy workers over the last time: " << max_busy << ".";
    }

    if (decision.kill > 0) {
        if (state == running) LOG(INFO) << "Balance workers by killing " << decision.kill << " of idle workers...";
        std::uint64_t remaining = decision.kill;
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        for (auto it = workers_.rbegin(); it != workers_.rend() && remaining > 0; ++it) {
            if (it->second->try_acquire_for_termination() || decision.force) {
                to_kill.push_back(it->second);
                --remaining;
            }
        }
    }

    for (auto const& worker : to_kill) {
        if (worker->kill()) dead_workers = true;
    }

    bool stop_now;
    {
        boost::unique_lock<boost::shared_mutex> lock(workers_mutex_);
        if (dead_workers) {
            for (auto it = workers_.begin(); it != workers_.end();) {
                if (is_broken_or_dying(it->second->state()) && it->second->pid() == 0) {
                    it = workers_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        stop_now = state_ != running && workers_.empty();
        if (stop_now) state_ = stopped;
    }

    if (stop_now) {
        LOG(INFO) << "All workers are stopped. Stopping the main loop.";
        cancel_signal_wait();
        return;  // the last tick: the timer is not armed again
    }
    arm_heartbeat();
}

}  // namespace ts
}  // namespace orv
