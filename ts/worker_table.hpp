#ifndef ORV_TS_WORKER_TABLE_HPP
#define ORV_TS_WORKER_TABLE_HPP

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace orv {
namespace ts {

class Worker;

// What one look at the table found.
struct Census {
    std::uint64_t count = 0;
    std::uint64_t idle = 0;
    // Broken or dying workers whose process is still there: killed again.
    std::vector<boost::shared_ptr<Worker>> dying;
    // Broken or dying workers without a process: ready to be swept.
    bool dead = false;
    // Workers marked for replacement and not gone yet.
    std::uint64_t retiring = 0;

    std::uint64_t busy() const { return count - idle; }
};

// The service's workers by number. Not thread-safe: the service guards it
// with its workers_mutex_, shared for the const operations (a worker's own
// mutex makes reservations safe under a shared lock) and exclusive for the
// others.
class WorkerTable {
public:
    typedef std::map<int, boost::shared_ptr<Worker>> Map;

    // Reserves the lowest-numbered idle worker for a request; null when none
    // is idle.
    boost::shared_ptr<Worker> acquire_idle() const;

    // The smallest number no worker uses.
    int free_number() const;
    void insert(boost::shared_ptr<Worker> const& worker);

    // The worker whose process has this id; null when none has.
    boost::shared_ptr<Worker> find_by_pid(pid_t pid) const;
    // Removes the worker if it still holds its number: between a look-up and
    // the removal, the number may have gone to a new worker, which stays.
    void erase(boost::shared_ptr<Worker> const& worker);

    Census census() const;
    // Removes the broken or dying workers whose process is gone.
    void sweep();

    // Workers in descending number, as balancing walks them.
    std::vector<boost::shared_ptr<Worker>> descending() const;

    std::uint64_t size() const { return workers_.size(); }
    bool empty() const { return workers_.empty(); }
    Map const& workers() const { return workers_; }

private:
    Map workers_;
};

}  // namespace ts
}  // namespace orv

#endif
