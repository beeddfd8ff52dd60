// The pure decisions behind the pool policies: how many requests each
// worker may answer, and what a /proc stat line says of its memory.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "ts/group_memory.hpp"
#include "ts/worker_lifespan.hpp"

namespace {

// Workers started together and served alike (each answers `per_tick`
// requests a heartbeat) go in the tick their limit falls in: whatever the
// random start, no tick takes more than a third of them. Independent draws
// fail this for one start in three with the first row.
TEST(WorkerLifespan, WorkersStartedTogetherGoAtDifferentTicks) {
    struct Row {
        int workers;
        std::uint64_t requests, jitter, per_tick;
    } const rows[] = {{12, 1000, 500, 100}, {9, 100, 100, 10}, {6, 5, 20, 2}, {30, 1000, 1000, 50}};
    for (Row const& row : rows) {
        for (int start = 0; start < 100; ++start) {
            orv::ts::WorkerLifespan lifespan(row.requests, row.jitter, start / 100.0);
            std::map<std::uint64_t, int> per_tick;
            for (int i = 0; i < row.workers; ++i) {
                std::uint64_t const limit = lifespan.next();
                ASSERT_GE(limit, row.requests);
                ASSERT_LE(limit, row.requests + row.jitter);
                ASSERT_LE(++per_tick[limit / row.per_tick], row.workers / 3) << row.workers << " at " << start;
            }
        }
    }
    EXPECT_EQ(7u, orv::ts::WorkerLifespan(7, 0, 0.99).next());
    EXPECT_EQ(0u, orv::ts::WorkerLifespan(0, 5, 0.5).next());
}

TEST(GroupMemory, StatLines) {
    struct Row {
        std::string text;
        bool valid;
        pid_t group;
        std::uint64_t pages;
    } const rows[] = {
        {"4242 (worker) S 1 4242 4242 0 -1 4194560 120 0 0 0 1 2 0 0 20 0 1 0 100 10000000 2500 18446744073709551615",
         true, 4242, 2500},
        {"77 (a) b (c) R 1 70 70 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 1 9 0", true, 70, 9},
        {"77 (zombie) Z 1 70 70 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0 0", true, 70, 0},
        {"77 (cut) S 1 70 70", false, 0, 0},
        {"no parenthesis", false, 0, 0},
    };
    for (Row const& row : rows) {
        pid_t group = 0;
        std::uint64_t pages = 0;
        EXPECT_EQ(row.valid, orv::ts::parse_stat(row.text, group, pages)) << row.text;
        if (!row.valid) continue;
        EXPECT_EQ(row.group, group) << row.text;
        EXPECT_EQ(row.pages, pages) << row.text;
    }
}

}  // namespace
