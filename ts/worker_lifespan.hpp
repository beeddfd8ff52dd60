#ifndef ORV_TS_WORKER_LIFESPAN_HPP
#define ORV_TS_WORKER_LIFESPAN_HPP

#include <cstdint>

namespace orv {
namespace ts {

// How many requests each new worker may answer before it is replaced:
// `requests` plus a jitter from 0 to `jitter`, drawn once per worker.
//
// The jitter's job is to keep workers that started together from all going
// at once. Independent draws can still land close to each other; here each
// draw steps around the range by the golden ratio from a random start, so
// any few consecutive draws are spread evenly over it while each one alone
// is still uniform. Pure: the caller serialises the draws.
class WorkerLifespan {
public:
    // start in [0, 1): where the walk begins (the service picks it at
    // random; tests pick their own).
    WorkerLifespan(std::uint64_t requests, std::uint64_t jitter, double start);

    // The next worker's number of requests; 0 when there is no limit.
    std::uint64_t next();

private:
    std::uint64_t const requests_;
    std::uint64_t const jitter_;
    double spot_;
};

}  // namespace ts
}  // namespace orv

#endif
