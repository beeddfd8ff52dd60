// Requests that wait for a worker. When none can be had (every worker busy
// at the limit, or starts paused), up to --queue requests wait, oldest
// first, each until its deadline; whoever may have made a worker available
// serves the queue.
#include <memory>
#include <utility>
#include <vector>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "common/log_text.hpp"
#include "ts/ts.hpp"

namespace orv {
namespace ts {

// The worker limit and a pause end by themselves; a graceful stop still
// has workers that will be idle again; a forced stop has none.
bool TaskService::may_wait(Refusal const& refusal) const {
    if (queue_.capacity() == 0) return false;
    return refusal.outcome == Outcome::no_worker || refusal.outcome == Outcome::crash_loop ||
           (refusal.outcome == Outcome::refused_stopping && state_ == stopping);
}

// False when the queue is full. Once the request is in, the queue is served
// at once: a worker that became idle while the request was on its way here
// may have found the queue empty. The worker stores its idle state before
// it reads the queue's length; this stores the length before it looks for
// an idle worker; both are sequentially consistent atomics, so at least one
// of the two sees the other, and the request never waits beside an idle
// worker.
bool TaskService::enqueue(WaitingRequest request, net::http::ClientWatch const& watch_client) {
    std::uint64_t number;
    {
        boost::lock_guard<boost::mutex> lock(queue_mutex_);
        if (queue_.full()) return false;
        request.since = std::chrono::steady_clock::now();
        request.deadline = std::make_shared<boost::asio::steady_timer>(loops_.current(), config_.queue_timeout);
        std::shared_ptr<boost::asio::steady_timer> const deadline = request.deadline;
        number = queue_.push(std::move(request));
        deadline->async_wait([this, number](boost::system::error_code const& error) {
            if (!error) waited_too_long(number);
        });
    }
    if (watch_client) watch_client([this, number] { client_left(number); });
    serve_queue();
    return true;
}

// Hands waiting requests, oldest first, to idle workers, or to new ones
// while there is room. Called by whatever may have made a worker available:
// a worker idle again, a worker removed, each tick (a pause may be over), a
// request queued, a stop. queue_mutex_ is held from the look for a worker
// to the taking of the request, so that two callers never leave a worker
// idle while a request waits; the worker is started and sent the request
// once it is released. While stopping, requests wait only as long as some
// worker may still take them.
void TaskService::serve_queue() {
    while (queue_.length() != 0) {
        WaitingRequest request;
        boost::shared_ptr<Worker> worker;
        Refusal refusal;
        std::vector<WaitingRequest> refused;
        {
            boost::lock_guard<boost::mutex> lock(queue_mutex_);
            if (queue_.empty()) return;
            if (state_ != stopping_forced) {
                boost::shared_lock<boost::shared_mutex> table(workers_mutex_);
                worker = workers_.acquire_idle();
            }
            if (!worker) worker = reserve_worker(refusal);
            if (worker) {
                queue_.take_oldest(request);
            } else if (state_ == stopping_forced || (state_ != running && !has_serving_worker())) {
                refused = queue_.take_all();
            } else {
                return;
            }
        }
        for (WaitingRequest const& gone : refused) {
            left_queue(gone);
            answer_refused(gone, refusal);
        }
        if (!worker) return;
        left_queue(request);
        bool const sent =
            (worker->state() != Worker::State::created || start_worker(worker, refusal)) &&
            send(worker, request.client_address, request.path, request.body, request.on_reply, request.on_error,
                 refusal);
        if (!sent) answer_refused(request, refusal);
    }
}

// A worker that will be idle again: busy or starting, and not retiring.
bool TaskService::has_serving_worker() {
    boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
    for (auto const& entry : workers_.workers()) {
        Worker::State const state = entry.second->state();
        bool const serving = state == Worker::State::idle || state == Worker::State::busy ||
                             state == Worker::State::created;
        if (serving && !entry.second->retiring()) return true;
    }
    return false;
}

void TaskService::waited_too_long(std::uint64_t number) {
    WaitingRequest request;
    if (take_waiting(number, request, stats_.queue_timeouts)) answer_refused(request, no_worker_reason());
}

// Nobody is left to answer: the callbacks go unanswered with the request,
// and the connection ends with them.
void TaskService::client_left(std::uint64_t number) {
    WaitingRequest request;
    if (!take_waiting(number, request, stats_.queue_abandoned)) return;
    LOG(INFO) << "A waiting request to " << logging::client_text(request.path)
              << " has been dropped: its client has gone.";
}

// Takes one request out of the queue and counts why; false when it has
// left already (a worker took it, or its deadline and its client's
// departure came together).
bool TaskService::take_waiting(std::uint64_t number, WaitingRequest& request, std::atomic<std::uint64_t>& why) {
    {
        boost::lock_guard<boost::mutex> lock(queue_mutex_);
        if (!queue_.take(number, request)) return false;
    }
    why.fetch_add(1, std::memory_order_relaxed);
    left_queue(request);
    return true;
}

void TaskService::left_queue(WaitingRequest const& request) {
    queue_waits_.response(0, std::chrono::steady_clock::now() - request.since);
}

// On an event-loop thread with nothing above to catch for it.
void TaskService::answer_refused(WaitingRequest const& request, Refusal const& refusal) {
    try {
        refuse(request.path, refusal, request.on_error);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to send an error to a client: " << e.what();
    }
}

}  // namespace ts
}  // namespace orv
