#include "ts/worker_table.hpp"

#include "ts/worker.hpp"

namespace orv {
namespace ts {

namespace {

bool is_broken_or_dying(Worker::State state) {
    return state == Worker::State::error || state == Worker::State::terminating;
}

}  // namespace

// The worker's own lock inside try_acquire_for_request makes sure that two
// dispatches never win the same worker.
boost::shared_ptr<Worker> WorkerTable::acquire_idle() const {
    for (auto const& entry : workers_) {
        if (entry.second->try_acquire_for_request()) return entry.second;
    }
    return boost::shared_ptr<Worker>();
}

int WorkerTable::free_number() const {
    int candidate = 0;
    for (auto const& entry : workers_) {
        if (entry.first != candidate) break;
        ++candidate;
    }
    return candidate;
}

void WorkerTable::insert(boost::shared_ptr<Worker> const& worker) { workers_[worker->id()] = worker; }

boost::shared_ptr<Worker> WorkerTable::find_by_pid(pid_t pid) const {
    for (auto const& entry : workers_) {
        if (entry.second->pid() == pid) return entry.second;
    }
    return boost::shared_ptr<Worker>();
}

void WorkerTable::erase(boost::shared_ptr<Worker> const& worker) {
    auto const entry = workers_.find(worker->id());
    if (entry != workers_.end() && entry->second == worker) workers_.erase(entry);
}

Census WorkerTable::census() const {
    Census census;
    census.count = workers_.size();
    for (auto const& entry : workers_) {
        Worker::State const state = entry.second->state();
        census.retiring += entry.second->retiring();
        if (state == Worker::State::idle) {
            ++census.idle;
        } else if (is_broken_or_dying(state)) {
            if (entry.second->pid() == 0) {
                census.dead = true;
            } else {
                census.dying.push_back(entry.second);
            }
        }
    }
    return census;
}

void WorkerTable::sweep() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (is_broken_or_dying(it->second->state()) && it->second->pid() == 0) {
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<boost::shared_ptr<Worker>> WorkerTable::descending() const {
    std::vector<boost::shared_ptr<Worker>> workers;
    workers.reserve(workers_.size());
    for (auto it = workers_.rbegin(); it != workers_.rend(); ++it) workers.push_back(it->second);
    return workers;
}

}  // namespace ts
}  // namespace orv
