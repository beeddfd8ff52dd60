#include <sys/wait.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "common/exception.hpp"
#include "run_program.hpp"
#include "ts/worker_frame.hpp"
#include "worker_test_support.hpp"

namespace orv {
namespace test {
namespace {

class WorkerChannel : public WorkerTest {};

std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + i % 26);
    return out;
}

// The frame a request becomes, without a worker.
std::string frame(std::string const& action, std::string const& address, std::string const& body) {
    std::string out;
    ts::append_request_head(out, action, address, static_cast<std::uint32_t>(body.size()));
    return out + body;
}

TEST(WorkerFrame, EncodesFieldsWithLengthsAndBigEndianBodySize) {
    EXPECT_EQ(frame("run", "192.0.2.7", "{}"),
              std::string("\x03run\x09" "192.0.2.7\x00\x00\x00\x02{}", 20));
    EXPECT_EQ(frame("", "10.0.0.1", ""), std::string("\x00\x08" "10.0.0.1\x00\x00\x00\x00", 14));

    std::string const body(0x010203, 'b');
    std::string const big = frame("a", "::1", body);
    EXPECT_EQ(big.substr(0, 10), std::string("\x01" "a\x03::1\x00\x01\x02\x03", 10));
    EXPECT_EQ(big.size(), 10 + body.size());

    // Bytes above 0x7f in the action or body go through untouched.
    EXPECT_EQ(frame("\xff", "h", "\x80"), std::string("\x01\xff\x01h\x00\x00\x00\x01\x80", 9));
}

TEST(WorkerFrame, RefusesWhatDoesNotFitItsLengthField) {
    EXPECT_EQ(ts::frame_refusal(255, 0xffffffffULL), nullptr);
    EXPECT_STREQ(ts::frame_refusal(256, 0), "Request action is too long.");
    EXPECT_STREQ(ts::frame_refusal(0, 0x100000000ULL), "Request is too big.");
    EXPECT_STREQ(ts::frame_refusal(300, 0x100000000ULL), "Request action is too long.");

    std::string const action(255, 'a');
    EXPECT_EQ(static_cast<unsigned char>(frame(action, "h", "")[0]), 255);
    EXPECT_THROW(frame("a", std::string(256, '1'), ""), Exception);
}

std::string const END_OF_FILE = "Failed to receive a reply from worker #0: End of file";

struct Case {
    std::vector<std::string> behaviour;
    std::string reply;  // expected reply; empty with unavailable set means none
    bool unavailable;   // the client gets "Service unavailable." instead
    State after;
    std::string error_line;  // the one ERROR line expected, if any
};

// Each worker behaviour, one request: exactly one callback with the right
// bytes, the worker's final state, the log, and no callback left stored.
TEST_F(WorkerChannel, OneRequestPerWorkerBehaviour) {
    std::string const body = "{\"n\":1}";
    std::vector<Case> const cases = {
        {{"echo"}, body, false, State::idle, ""},
        {{"one-write"}, body, false, State::idle, ""},
        {{"bytewise"}, body, false, State::idle, ""},
        {{"empty"}, "", false, State::idle, ""},
        {{"size:10000", "bytewise"}, pattern(10000), false, State::idle, ""},
        {{"size:1000000"}, pattern(1000000), false, State::idle, ""},
        {{"crash"}, "", true, State::error, END_OF_FILE},
        {{"half-length"}, "", true, State::error, END_OF_FILE},
        {{"size:100000", "half-reply"}, "", true, State::error, END_OF_FILE},
        {{"size:3000000", "half-reply"}, "", true, State::error, END_OF_FILE},
        {{"size:3000000", "one-write"}, pattern(3000000), false, State::idle, ""},
        {{"size:65536", "one-write", "trailing:3"}, pattern(65536), false, State::error,
         "Failed to receive a reply from worker #0: unexpected data after the completion byte."},
        {{"no-completion"}, body, false, State::error, END_OF_FILE},
        {{"trailing:3", "one-write"}, body, false, State::error,
         "Failed to receive a reply from worker #0: unexpected data after the completion byte."},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.behaviour.front());
        LogCapture log;
        boost::shared_ptr<Worker> worker = start_worker(c.behaviour);
        OutcomePtr outcome = exchange(worker, body);
        EXPECT_EQ(outcome->calls(), 1u);
        if (c.unavailable) {
            EXPECT_EQ(outcome->error(), "Service unavailable.");
            EXPECT_TRUE(outcome->unavailable.at(0));
        } else {
            EXPECT_EQ(outcome->reply(), c.reply);
        }
        EXPECT_EQ(worker->state(), c.after);
        EXPECT_EQ(worker->connection_state(), ConnectionState::idle);
        // The thread that delivered the reply lets go of the callbacks just
        // after the worker is idle again.
        EXPECT_TRUE(eventually([&] { return outcome.use_count() == 1; })) << "the worker still holds the callbacks";
        if (c.error_line.empty()) {
            EXPECT_EQ(log.lines().size(), 0u);
        } else {
            EXPECT_EQ(log.count(google::GLOG_ERROR, c.error_line), 1);
        }
    }
}

TEST_F(WorkerChannel, FrameReachesTheWorkerByteForByte) {
    boost::shared_ptr<Worker> worker = start_worker({"frame"});
    EXPECT_EQ(exchange(worker, "{}", "run")->reply(),
              std::string("\x03run\x09" "192.0.2.7\x00\x00\x00\x02{}", 20));

    ASSERT_TRUE(worker->try_acquire_for_request());
    OutcomePtr outcome = send(worker, "", "", "fe80::1%lo");
    ASSERT_TRUE(eventually([&] { return outcome->calls() == 1; }));
    EXPECT_EQ(outcome->reply(), std::string("\x00\x0a" "fe80::1%lo\x00\x00\x00\x00", 16));

    // A body larger than the socket takes at once: the rest follows from
    // the worker's own copy, after the caller's body is gone.
    std::string body = pattern(3 << 20);
    std::string const expected = std::string("\x01x\x09" "192.0.2.7\x00\x30\x00\x00", 16) + body;
    ASSERT_TRUE(eventually([&] { return worker->try_acquire_for_request(); }));
    OutcomePtr large = send(worker, body, "x");
    body.assign(body.size(), '!');
    ASSERT_TRUE(eventually([&] { return large->calls() == 1; }));
    EXPECT_TRUE(large->reply() == expected) << large->reply().size() << " bytes";
}

TEST_F(WorkerChannel, OversizedActionIsRefusedWithoutWritingAnything) {
    boost::shared_ptr<Worker> worker = start_worker({"frame"});
    OutcomePtr refused = send(worker, "{}", std::string(256, 'a'));
    // Answered before send_request returned, and not as "unavailable".
    EXPECT_EQ(refused->calls(), 1u);
    EXPECT_EQ(refused->error(), "Request action is too long.");
    EXPECT_FALSE(refused->unavailable.at(0));
    EXPECT_EQ(refused.use_count(), 1);
    EXPECT_EQ(worker->state(), State::idle);
    EXPECT_EQ(worker->connection_state(), ConnectionState::idle);

    // Had any byte gone out, the worker would echo a different first frame.
    ASSERT_TRUE(worker->try_acquire_for_request());
    std::string const action(255, 'a');
    EXPECT_EQ(exchange(worker, "{}", action)->reply(),
              "\xff" + action + "\x09" "192.0.2.7" + std::string("\x00\x00\x00\x02{}", 6));
}

TEST_F(WorkerChannel, RequestNeedsAReservedWorker) {
    OutcomePtr outcome = std::make_shared<Outcome>();
    boost::shared_ptr<Worker> created = Worker::create(0, io_);
    EXPECT_THROW(created->send_request("192.0.2.7", "run", "{}", record_reply(outcome),
                                       record_error(outcome)),
                 LogicalError);
    EXPECT_EQ(created->state(), State::created);

    boost::shared_ptr<Worker> worker = start_worker({"echo"});
    exchange(worker, "{}");
    EXPECT_THROW(worker->send_request("192.0.2.7", "run", "{}", record_reply(outcome),
                                      record_error(outcome)),
                 LogicalError);
    EXPECT_EQ(worker->state(), State::idle);
    EXPECT_EQ(outcome->calls(), 0u);
    EXPECT_EQ(outcome.use_count(), 1);
}

TEST_F(WorkerChannel, CallbackFailuresAreLoggedAndTheExchangeGoesOn) {
    LogCapture log;
    boost::shared_ptr<Worker> worker = start_worker({"echo"});
    worker->send_request("192.0.2.7", "run", "{}", net::messaging::ReplyCallback(),
                         net::messaging::ErrorCallback());
    // The worker may be idle a moment before the callback has run.
    ASSERT_TRUE(log.wait_for(google::GLOG_ERROR, "Failed to send a reply to a client: call to empty boost::function"));
    ASSERT_TRUE(eventually([&] { return worker->state() == State::idle; }));

    ASSERT_TRUE(worker->try_acquire_for_request());
    auto raise = [](auto const&) { throw std::runtime_error("boom"); };
    worker->send_request("192.0.2.7", "run", "{}", raise, raise);
    ASSERT_TRUE(log.wait_for(google::GLOG_ERROR, "Failed to send a reply to a client: boom"));
    ASSERT_TRUE(eventually([&] { return worker->state() == State::idle; }));

    boost::shared_ptr<Worker> crashing = start_worker({"crash"}, 1);
    crashing->send_request("192.0.2.7", "run", "{}", raise, raise);
    ASSERT_TRUE(log.wait_for(google::GLOG_ERROR, "Failed to send an error to a client: boom"));
    EXPECT_TRUE(eventually([&] { return crashing->state() == State::error; }));
}

// A worker that never answers, or announces a 4 GB reply and stalls after
// ten bytes, keeps its client until it is killed, but the announced size
// costs no memory beyond what arrived (and one read step).
TEST_F(WorkerChannel, SilentOrStalledWorkerKeepsItsRequestUntilKilled) {
    struct {
        std::vector<std::string> behaviour;
        ConnectionState waiting;
    } const cases[] = {{{"hang"}, ConnectionState::receiving_reply_size},
                       {{"size:4000000000", "stall"}, ConnectionState::receiving_reply}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.behaviour.front());
        long const peak_before = peak_rss_kib();
        boost::shared_ptr<Worker> worker = start_worker(c.behaviour);
        OutcomePtr outcome = send(worker, "{}");
        ASSERT_TRUE(eventually([&] { return worker->connection_state() == c.waiting; }));
        EXPECT_FALSE(worker->kill());
        ASSERT_TRUE(eventually([&] { return worker->state() == State::error; }));
#ifndef ORV_SANITIZED
        EXPECT_LT(peak_rss_kib() - peak_before, 16 * 1024);
#else
        (void)peak_before;
#endif
        EXPECT_EQ(outcome->calls(), 1u);
        EXPECT_EQ(outcome->error(), "Service unavailable.");
        int const status = reap_child(worker->pid());
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    }
}

// Bytes sent in the same write as the completion byte are caught there (see
// the table above); these come a while after the worker was idle again and
// are caught before the next request's reply could be misread.
TEST_F(WorkerChannel, BytesSentWhileIdleBreakTheWorkerBeforeTheNextRequest) {
    boost::shared_ptr<Worker> worker = start_worker({"late:2", "requests:1"}, 1);
    EXPECT_EQ(exchange(worker, "{}")->reply(), "{}");
    reap_child(worker->pid());  // it has written the late bytes and exited
    if (worker->state() == State::idle) {  // unless the late bytes came with the reply
        ASSERT_TRUE(worker->try_acquire_for_request());
        OutcomePtr outcome = std::make_shared<Outcome>();
        try {
            worker->send_request("192.0.2.7", "run", "{}", record_reply(outcome),
                                 record_error(outcome));
            ADD_FAILURE() << "the request was sent";
        } catch (Exception const& e) {
            EXPECT_STREQ(e.what(), "Worker #1 sent data outside a reply.");
        }
        EXPECT_EQ(outcome->calls(), 0u);
        EXPECT_EQ(outcome.use_count(), 1);
    }
    EXPECT_EQ(worker->state(), State::error);
}

TEST_F(WorkerChannel, DroppedWorkerFinishesItsExchange) {
    boost::shared_ptr<Worker> worker = start_worker({"delay:20"});
    pid_t const pid = worker->pid();
    boost::weak_ptr<Worker> watch = worker;
    OutcomePtr outcome = send(worker, "kept");
    worker.reset();
    ASSERT_TRUE(eventually([&] { return watch.expired(); }));
    EXPECT_EQ(outcome->reply(), "kept");
    // Its socket closed with it, so the worker program sees the end and exits.
    int const status = reap_child(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Replies of every size, one after the other on one worker: each arrives
// whole and in order, however the worker splits its writes, and whatever
// arrived with the reply's end (the completion byte) is still found.
TEST_F(WorkerChannel, LargeRepliesArriveWholeAndInOrder) {
    std::vector<std::size_t> const sizes = {5000, 70000, 1, 4091, 4092, 4093, (1u << 20) - 1, (1u << 20) + 5,
                                            3000000, 0, 65536};
    for (char const* style : {"one-write", "split"}) {
        SCOPED_TRACE(style);
        LogCapture log;
        boost::shared_ptr<Worker> worker =
            start_worker(std::string(style) == "split" ? std::vector<std::string>{} : std::vector<std::string>{style});
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            SCOPED_TRACE(sizes[i]);
            std::string body = pattern(sizes[i] + i);
            body.erase(0, i);  // each body starts at another letter
            if (i > 0) {
                ASSERT_TRUE(worker->try_acquire_for_request());
            }
            OutcomePtr outcome = exchange(worker, body);
            EXPECT_EQ(outcome->calls(), 1u);
            EXPECT_TRUE(outcome->reply() == body) << "reply of " << outcome->reply().size() << " bytes differs";
            ASSERT_TRUE(eventually([&] { return worker->state() == State::idle; }));
        }
        EXPECT_EQ(log.lines().size(), 0u);
    }
}

// Threads reserve whichever worker is idle, as concurrent dispatches do,
// while completion handlers on the pool threads return workers to idle.
TEST_F(WorkerChannel, ConcurrentDispatchOverAPoolOfWorkers) {
    std::vector<boost::shared_ptr<Worker>> pool;
    for (int i = 0; i < 3; ++i) {
        pool.push_back(start_worker({i == 0 ? "bytewise" : "one-write"}, i));
        exchange(pool.back(), "warm-up");
    }
    std::atomic<int> wrong(0), refused(0);
    auto dispatcher = [&](int thread) {
        for (int round = 0; round < 30; ++round) {
            boost::shared_ptr<Worker> chosen;
            eventually([&] {
                for (auto const& worker : pool) {
                    if (worker->try_acquire_for_request()) {
                        chosen = worker;
                        return true;
                    }
                }
                return false;
            });
            if (!chosen) {
                ++refused;
                continue;
            }
            std::string const body = std::to_string(thread) + ":" + std::to_string(round);
            OutcomePtr outcome = send(chosen, body);
            eventually([&] { return outcome->calls() > 0; });
            if (outcome->reply() != body) ++wrong;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(dispatcher, t);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(refused, 0);
    for (auto const& worker : pool) {
        EXPECT_TRUE(eventually([&] { return worker->state() == State::idle; }));
    }
}

}  // namespace
}  // namespace test
}  // namespace orv
