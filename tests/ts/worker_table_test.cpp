// The worker table and the heartbeat's pure pieces, on workers without
// processes whose states the test sets.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "ts/balance.hpp"
#include "ts/worker.hpp"
#include "ts/worker_table.hpp"

namespace {

using orv::ts::Worker;
using orv::ts::WorkerTable;
using State = Worker::State;
using Connection = Worker::ConnectionState;

class WorkerTableTest : public ::testing::Test {
protected:
    boost::shared_ptr<Worker> add(int number, State state, pid_t pid = 0) {
        boost::shared_ptr<Worker> worker = Worker::create(number, io_);
        worker->set_state(state, Connection::idle);
        worker->set_pid(pid);
        table_.insert(worker);
        return worker;
    }

    std::vector<int> numbers() const {
        std::vector<int> out;
        for (auto const& entry : table_.workers()) out.push_back(entry.first);
        return out;
    }

    boost::asio::io_context io_;
    WorkerTable table_;
};

TEST_F(WorkerTableTest, NumbersAreTheSmallestFreeOnesAndRequestsGoToTheLowestIdle) {
    EXPECT_EQ(0, table_.free_number());
    add(0, State::busy);
    add(1, State::idle);
    add(3, State::idle);
    EXPECT_EQ(2, table_.free_number());

    EXPECT_EQ(1, table_.acquire_idle()->id());
    EXPECT_EQ(3, table_.acquire_idle()->id());
    EXPECT_FALSE(table_.acquire_idle());
}

TEST_F(WorkerTableTest, CensusCountsAndSortsTheDyingFromTheDead) {
    add(0, State::idle);
    add(1, State::busy);
    add(2, State::error, 4242);
    add(3, State::terminating, 4243);
    add(4, State::terminating);
    add(5, State::created);

    orv::ts::Census const census = table_.census();
    EXPECT_EQ(6u, census.count);
    EXPECT_EQ(1u, census.idle);
    EXPECT_EQ(5u, census.busy());  // every worker that is not idle counts as busy
    ASSERT_EQ(2u, census.dying.size());
    EXPECT_EQ(2, census.dying[0]->id());
    EXPECT_EQ(3, census.dying[1]->id());
    EXPECT_TRUE(census.dead);

    table_.sweep();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 5}), numbers());
}

// The reaper looks a worker up under one lock and removes it under another;
// meanwhile the heartbeat may have swept it and a new worker taken its
// number. The new one must stay.
TEST_F(WorkerTableTest, EraseLeavesANewWorkerThatTookTheNumber) {
    boost::shared_ptr<Worker> const old = add(0, State::terminating);
    table_.sweep();
    boost::shared_ptr<Worker> const fresh = add(table_.free_number(), State::busy, 99);
    ASSERT_EQ(0, fresh->id());
    table_.erase(old);
    EXPECT_EQ(fresh, table_.find_by_pid(99));
    table_.erase(fresh);
    EXPECT_TRUE(table_.empty());
}

// Balancing takes idle workers from the top; a forced stop takes every one.
TEST(PickForKill, IdleFromTheTopUnlessForced) {
    struct Case {
        std::vector<int> idle;  // 1 where the worker (highest number first) is idle
        std::uint64_t wanted;
        bool force;
        std::vector<int> picked;
    } const cases[] = {
        {{1, 1, 1, 1}, 2, false, {0, 1}},
        {{0, 1, 0, 1}, 2, false, {1, 3}},
        {{0, 1, 0, 0}, 3, false, {1}},
        {{0, 1, 0, 1}, 3, true, {0, 1, 2}},
        {{1, 1}, 0, true, {}},
    };
    for (auto const& c : cases) {
        std::vector<int> positions;
        for (std::size_t i = 0; i < c.idle.size(); ++i) positions.push_back(static_cast<int>(i));
        auto const picked = orv::ts::pick_for_kill(positions, c.wanted, c.force, [&](int position) {
            return c.idle[static_cast<std::size_t>(position)] == 1;
        });
        EXPECT_EQ(c.picked, picked);
    }
}

}  // namespace
