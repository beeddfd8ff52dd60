// Replacing workers while the service runs: all of them on SIGUSR2, and
// single ones that have grown too big. A retiring worker takes no new
// request and ends once its exchange is over; new requests start fresh
// workers meanwhile, so nothing is refused.
#include <unordered_map>
#include <vector>

#include <boost/thread/locks.hpp>
#include <glog/logging.h>

#include "ts/group_memory.hpp"
#include "ts/service_events.hpp"
#include "ts/ts.hpp"

namespace orv {
namespace ts {

namespace {
std::uint64_t const MIB = 1u << 20;
}  // namespace

void TaskService::recycle_workers() {
    if (state_ != running) return;
    if (config_.events != nullptr && !recycling_) config_.events->recycling();
    recycling_ = true;
    std::vector<boost::shared_ptr<Worker>> idle;
    {
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        for (auto const& entry : workers_.workers()) {
            if (entry.second->retire()) idle.push_back(entry.second);
        }
    }
    for (auto const& worker : idle) worker->kill();
}

void TaskService::finish_recycling(Census const& census) {
    if (!recycling_ || census.retiring > 0) return;
    recycling_ = false;
    LOG(INFO) << "Every worker has been replaced.";
    if (config_.events != nullptr) config_.events->recycled();
}

// Once a tick, with a limit: one pass over /proc, with no lock held, then
// every worker whose group holds more than the limit retires after its
// current reply. A retiring one is not looked at again, so each is named
// once.
void TaskService::check_worker_memory() {
    if (config_.max_worker_memory == 0 || state_ != running) return;
    std::unordered_map<pid_t, std::uint64_t> const groups = resident_by_group();
    std::vector<boost::shared_ptr<Worker>> idle;
    {
        boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
        for (auto const& entry : workers_.workers()) {
            Worker& worker = *entry.second;
            pid_t const pid = worker.pid();
            Worker::State const state = worker.state();
            if (pid == 0 || worker.retiring() || (state != Worker::State::idle && state != Worker::State::busy)) {
                continue;
            }
            auto const group = groups.find(pid);
            if (group == groups.end() || group->second <= config_.max_worker_memory) continue;
            LOG(INFO) << "Worker #" << worker.id() << " [" << pid << "] uses " << group->second / MIB
                      << " MiB, more than the limit of " << config_.max_worker_memory / MIB
                      << " MiB. Replacing it...";
            if (worker.retire()) idle.push_back(entry.second);
        }
    }
    for (auto const& worker : idle) worker->kill();
}

// No new worker may start once a stop has begun, so none is replaced for
// its request count any more: requests still waiting need every worker
// there is.
void TaskService::keep_workers_to_the_end() {
    if (config_.max_requests == 0) return;
    boost::shared_lock<boost::shared_mutex> lock(workers_mutex_);
    for (auto const& entry : workers_.workers()) entry.second->set_request_limit(0);
}

}  // namespace ts
}  // namespace orv
