#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "orv_worker.hpp"
#include "worker_test_support.hpp"

namespace orv {
namespace test {
namespace {

TEST(WorkerKitJson, EscapesControlsAndReplacesIllFormedUtf8) {
    struct {
        std::string in, out;
    } const cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        // A truncated sequence is one replacement; a surrogate, an overlong
        // form and stray continuation bytes are one per byte.
        {"\xe2\x82" "A", "\"\xef\xbf\xbd" "A\""},
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xf0\x9f\x98", "\"\xef\xbf\xbd\""},
    };
    for (auto const& c : cases) EXPECT_EQ(orv_worker::json_string(c.in), c.out) << c.in;
}

// The helper's side of a socket pair, fed by a writer that sends one byte
// per write so that every field arrives in pieces.
TEST(WorkerKitChannel, ReadsFramesInPiecesAndWritesReplyWithCompletionByte) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string const frame("\x03run\x09" "192.0.2.7\x00\x00\x00\x02{}", 20);
    std::thread writer([&] {
        for (char c : frame + frame.substr(0, 7)) ASSERT_EQ(::write(fds[1], &c, 1), 1);
        ::shutdown(fds[1], SHUT_WR);
    });
    orv_worker::Channel channel(fds[0]);
    orv_worker::Request request;
    ASSERT_TRUE(channel.read(request));
    EXPECT_EQ(request.action, "run");
    EXPECT_EQ(request.client, "192.0.2.7");
    EXPECT_EQ(request.body, "{}");
    EXPECT_THROW(channel.read(request), std::runtime_error);  // cut inside the next frame
    writer.join();

    channel.reply("ok");
    char answer[8] = {};
    ASSERT_EQ(::read(fds[1], answer, sizeof(answer)), 7);
    EXPECT_EQ(std::string(answer, 7), std::string("\x00\x00\x00\x02ok\x00", 7));
    ::close(fds[0]);
    EXPECT_FALSE(orv_worker::Channel(fds[1]).read(request));  // clean end between frames
    ::close(fds[1]);
}

class WorkerKit : public WorkerTest {};

// The bundled echo worker and the Python example answer alike, through the
// real worker object, for a body that needs escaping and repair.
TEST_F(WorkerKit, EchoWorkersAnswerWithValidJson) {
    std::string const body = "{\"q\":\"\xe2\x82\"}\n\x01";
    std::string const expected =
        "{\"action\":\"a/\\\"b\\\"\",\"client\":\"192.0.2.7\","
        "\"body\":\"{\\\"q\\\":\\\"\xef\xbf\xbd\\\"}\\n\\u0001\"}";
    std::vector<std::string> programs = {ORV_ECHO_WORKER};
    if (::access("/usr/bin/python3", X_OK) == 0) programs.push_back(ORV_PYTHON_EXAMPLE);
    for (std::size_t i = 0; i < programs.size(); ++i) {
        SCOPED_TRACE(programs[i]);
        boost::shared_ptr<Worker> worker = start_program(programs[i], {}, static_cast<int>(i));
        for (int round = 0; round < 3; ++round) {
            if (round > 0) {
                ASSERT_TRUE(worker->try_acquire_for_request());
            }
            EXPECT_EQ(exchange(worker, body, "a/\"b\"")->reply(), expected);
            EXPECT_EQ(worker->state(), Worker::State::idle);
        }
        ASSERT_TRUE(worker->try_acquire_for_request());
        EXPECT_EQ(exchange(worker, std::string(100000, 'x'))->reply().size(), 100000u + 47);
    }
    if (programs.size() == 1) GTEST_SKIP() << "python3 is not installed";
}

}  // namespace
}  // namespace test
}  // namespace orv
