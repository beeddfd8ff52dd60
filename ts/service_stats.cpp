#include "ts/service_stats.hpp"

namespace orv {
namespace ts {

char const* outcome_name(Outcome outcome) {
    static char const* const names[OUTCOMES] = {"ok",          "frame_refused", "refused_stopping",
                                                "no_worker",   "start_failed",  "crash_loop",
                                                "worker_failed", "reply_too_big", "timeout"};
    return names[static_cast<std::size_t>(outcome)];
}

}  // namespace ts
}  // namespace orv
