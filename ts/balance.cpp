#include "ts/balance.hpp"

#include <algorithm>

namespace orv {
namespace ts {

void BusyHistory::record(std::uint64_t tick, std::uint64_t busy) {
    int& slot = slots_[tick % SLOTS];
    slot = std::max<int>(slot, static_cast<int>(std::min<std::uint64_t>(busy, INT32_MAX)));
}

std::uint64_t BusyHistory::max() const {
    return static_cast<std::uint64_t>(*std::max_element(slots_.begin(), slots_.end()));
}

void BusyHistory::start_tick(std::uint64_t tick) { slots_[tick % SLOTS] = 0; }

BalanceDecision decide_balance(ServiceState state, std::uint64_t count, std::uint64_t max_busy,
                               std::uint64_t min_workers, std::uint64_t tick, bool clients_connected) {
    BalanceDecision decision;
    bool const quiet_census = tick % 60 == 0;
    if (count == 0) {
        decision.log_census = quiet_census;
    } else if (state == stopping && clients_connected) {
        decision.log_census = true;
    } else if (state == stopping || state == stopping_forced) {
        decision.kill = count;
        decision.force = state == stopping_forced;
        decision.log_census = true;
    } else if (state == running && count > 2 * max_busy && count > min_workers) {
        decision.kill = std::min(count - min_workers, count - 2 * max_busy);
        decision.log_census = true;
    } else {
        decision.log_census = quiet_census;
    }
    return decision;
}

}  // namespace ts
}  // namespace orv
