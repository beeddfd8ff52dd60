#include <cstdint>

#include <gtest/gtest.h>

#include "ts/balance.hpp"

namespace {

using orv::ts::BalanceDecision;
using orv::ts::BusyHistory;
using orv::ts::decide_balance;

// Plays the heartbeat's statistics step for one tick and returns the window's
// maximum, the way the service does: record the census, read the maximum,
// advance and clear the slot of the new second.
std::uint64_t tick_once(BusyHistory& history, std::uint64_t& tick, std::uint64_t busy) {
    history.record(tick, busy);
    std::uint64_t const max_busy = history.max();
    ++tick;
    history.start_tick(tick);
    return max_busy;
}

TEST(Balance, KeepsTwiceTheBusiestSecondButAtLeastTheMinimum) {
    BalanceDecision const d = decide_balance(orv::ts::running, 30, 4, 10, 7);
    EXPECT_EQ(20u, d.kill);
    EXPECT_FALSE(d.force);
    EXPECT_TRUE(d.log_census);
    EXPECT_EQ(0u, decide_balance(orv::ts::running, 12, 6, 10, 7).kill);   // 12 is not above 2 x 6
    EXPECT_EQ(0u, decide_balance(orv::ts::running, 8, 0, 10, 7).kill);    // not above the minimum
    EXPECT_EQ(4u, decide_balance(orv::ts::running, 14, 3, 10, 7).kill);   // the minimum wins over 2 x 3
}

TEST(Balance, StoppingPicksEveryWorkerAndForcedStoppingBusyOnesToo) {
    BalanceDecision const graceful = decide_balance(orv::ts::stopping, 5, 9, 10, 7);
    EXPECT_EQ(5u, graceful.kill);
    EXPECT_FALSE(graceful.force);
    EXPECT_TRUE(graceful.log_census);
    // Idle workers wait for connected clients in a graceful stop only.
    EXPECT_EQ(0u, decide_balance(orv::ts::stopping, 5, 9, 10, 7, true).kill);
    EXPECT_EQ(5u, decide_balance(orv::ts::stopping_forced, 5, 9, 10, 7, true).kill);
    BalanceDecision const forced = decide_balance(orv::ts::stopping_forced, 5, 9, 10, 7);
    EXPECT_EQ(5u, forced.kill);
    EXPECT_TRUE(forced.force);
    EXPECT_EQ(0u, decide_balance(orv::ts::stopping, 0, 0, 10, 7).kill);
}

TEST(Balance, QuietCensusEverySixtyTicks) {
    int logged = 0;
    for (std::uint64_t tick = 1; tick <= 600; ++tick) {
        logged += decide_balance(orv::ts::running, 10, 5, 10, tick).log_census;
        logged += decide_balance(orv::ts::running, 0, 0, 10, tick).log_census;
    }
    EXPECT_EQ(20, logged);
}

// A burst to 20 workers holds the pool for the 300-tick window; once it has
// left the window and no more than 3 were busy since, one tick kills 10.
TEST(Balance, BurstLeavesTheWindowAfterThreeHundredTicks) {
    BusyHistory history;
    std::uint64_t tick = 0;
    std::uint64_t const pool = 20;
    EXPECT_EQ(20u, tick_once(history, tick, 20));
    for (int i = 0; i < 299; ++i) {
        std::uint64_t const max_busy = tick_once(history, tick, 3);
        ASSERT_EQ(20u, max_busy) << "tick " << tick;
        ASSERT_EQ(0u, decide_balance(orv::ts::running, pool, max_busy, 10, tick).kill);
    }
    std::uint64_t const after = tick_once(history, tick, 3);
    EXPECT_EQ(3u, after);
    EXPECT_EQ(10u, decide_balance(orv::ts::running, pool, after, 10, tick).kill);
}

TEST(Balance, WorkerCreationRaisesTheCurrentSecond) {
    BusyHistory history;
    history.record(5, 7);
    history.record(5, 3);  // a lower census later in the same second keeps the peak
    EXPECT_EQ(7u, history.max());
    history.start_tick(305);  // the same slot, a window later
    EXPECT_EQ(0u, history.max());
}

}  // namespace
