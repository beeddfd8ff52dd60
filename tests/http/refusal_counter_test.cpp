// Which refused connections are logged one by one, and what the summaries
// of the rest say.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/refusal_counter.hpp"

namespace {

using orv::net::http::RefusalCounter;
using std::chrono::milliseconds;

boost::asio::ip::address const A = boost::asio::ip::make_address("10.0.0.1");
boost::asio::ip::address const B = boost::asio::ip::make_address("::1");
char const REASON[] = "Limit on number of active connections (1) has exceeded.";

// One refusal or one flush at a moment of a run; `result` is what the call
// returns (logged on its own, or counting goes on), `count` the summary's.
struct Step {
    int at_ms;
    char what;  // 'r' refusal from A, 'b' refusal from B, 'f' flush, 'l' last flush
    bool result;
    std::uint64_t count;
};

TEST(RefusalCounter, LogsTheFirstAfterAQuietSecondAndSummarisesTheRest) {
    Step const steps[] = {
        {0, 'r', true, 0},      // the first: logged, a second of counting opens
        {100, 'b', false, 0},   {200, 'r', false, 0}, {300, 'r', false, 0},
        {500, 'f', true, 0},    // not over yet
        {1000, 'f', true, 3},   // three counted; the flood may go on
        {1200, 'r', false, 0},  // it does: counted, not logged
        {2000, 'f', true, 1},   {3000, 'f', false, 0},  // a quiet second ends the counting
        {3500, 'r', true, 0},   {3600, 'b', false, 0},
        {3700, 'l', false, 1},  // the server stops: told at once
        {3800, 'r', true, 0},
    };
    RefusalCounter counter;
    RefusalCounter::Clock::time_point const start;
    for (Step const& step : steps) {
        SCOPED_TRACE(step.at_ms);
        auto const now = start + milliseconds(step.at_ms);
        if (step.what == 'r' || step.what == 'b') {
            bool opened = false;
            EXPECT_EQ(step.result, counter.refused(now, step.what == 'r' ? A : B, REASON, opened));
            EXPECT_EQ(step.result, opened);
            if (opened) {
                EXPECT_EQ(now + std::chrono::seconds(1), counter.due());
            }
            continue;
        }
        RefusalCounter::Summary summary;
        EXPECT_EQ(step.result, counter.flush(now, summary, step.what == 'l'));
        EXPECT_EQ(step.count, summary.count);
        if (step.at_ms == 1000) {
            EXPECT_EQ(REASON, summary.reason);
            ASSERT_EQ(2u, summary.named);
            EXPECT_EQ(A, summary.most[0]);
            EXPECT_EQ(B, summary.most[1]);
        }
    }
}

// Many distinct addresses cannot push a frequent one out of the summary.
TEST(RefusalCounter, NamesTheAddressesSeenMostAmongMany) {
    RefusalCounter counter;
    RefusalCounter::Clock::time_point const start;
    bool opened = false;
    counter.refused(start, A, REASON, opened);
    for (int i = 0; i < 1000; ++i) {
        counter.refused(start, boost::asio::ip::make_address_v4(0x0b000000u + static_cast<unsigned>(i)), REASON,
                        opened);
        if (i % 10 == 0) counter.refused(start, A, REASON, opened);
    }
    RefusalCounter::Summary summary;
    counter.flush(start + std::chrono::seconds(1), summary);
    EXPECT_EQ(1100u, summary.count);
    ASSERT_EQ(RefusalCounter::NAMED, summary.named);
    EXPECT_EQ(A, summary.most[0]);
}

// Refusals on four threads while a fifth flushes every millisecond: none is
// lost or counted twice.
TEST(RefusalCounter, CountsEveryRefusalAcrossThreads) {
    RefusalCounter counter(milliseconds(1));
    std::atomic<std::uint64_t> told(0);
    std::atomic<bool> done(false);
    std::thread flusher([&] {
        while (!done) {
            RefusalCounter::Summary summary;
            counter.flush(RefusalCounter::Clock::now(), summary);
            told += summary.count;
            std::this_thread::sleep_for(milliseconds(1));  // the timer's pace
        }
    });
    std::vector<std::thread> refusing;
    for (int t = 0; t < 4; ++t) {
        refusing.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                bool opened = false;
                if (counter.refused(RefusalCounter::Clock::now(), t % 2 ? A : B, REASON, opened)) ++told;
            }
        });
    }
    for (auto& thread : refusing) thread.join();
    done = true;
    flusher.join();
    RefusalCounter::Summary summary;
    counter.flush(RefusalCounter::Clock::now(), summary, true);
    EXPECT_EQ(20000u, told + summary.count);
}

}  // namespace
