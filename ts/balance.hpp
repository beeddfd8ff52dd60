#ifndef ORV_TS_BALANCE_HPP
#define ORV_TS_BALANCE_HPP

#include <array>
#include <cstdint>
#include <vector>

namespace orv {
namespace ts {

enum ServiceState { running = 0, stopping = 1, stopping_forced = 2, stopped = 3 };

// How many workers were busy in each of the last 300 heartbeat ticks: a slot
// holds the busiest moment of its second.
class BusyHistory {
public:
    static std::size_t const SLOTS = 300;

    // Raises the current slot to at least busy.
    void record(std::uint64_t tick, std::uint64_t busy);
    // The busiest second in the window.
    std::uint64_t max() const;
    // Clears the slot the given tick will fill.
    void start_tick(std::uint64_t tick);

private:
    std::array<int, SLOTS> slots_{};
};

struct BalanceDecision {
    std::uint64_t kill = 0;    // workers to pick for killing this tick
    bool force = false;        // pick busy workers too
    bool log_census = false;   // write the census line this tick
};

// The heartbeat's decision. While running the pool keeps
// max(min_workers, 2 x max_busy) workers and never grows ahead of demand;
// while stopping every worker is picked (busy ones too when forced). A
// graceful stop keeps its idle workers while clients are still connected:
// the port is closed, but requests already on their way get a worker
// instead of a 503 (the connections' own budgets bound the wait). The
// census is logged whenever something is killed, and otherwise every 60
// ticks.
BalanceDecision decide_balance(ServiceState state, std::uint64_t count, std::uint64_t max_busy,
                               std::uint64_t min_workers, std::uint64_t tick, bool clients_connected = false);

// Picks up to `wanted` workers for killing, walking `descending` from the
// highest number down: a worker is picked when reserve(worker) succeeds
// (which turns an idle worker into a dying one) or, with force, whatever
// reserve said. Balancing therefore takes only idle workers and a forced stop
// takes them all.
template <typename Worker, typename Reserve>
std::vector<Worker> pick_for_kill(std::vector<Worker> const& descending, std::uint64_t wanted, bool force,
                                  Reserve reserve) {
    std::vector<Worker> picked;
    for (Worker const& candidate : descending) {
        if (picked.size() == wanted) break;
        if (reserve(candidate) || force) picked.push_back(candidate);
    }
    return picked;
}

}  // namespace ts
}  // namespace orv

#endif
