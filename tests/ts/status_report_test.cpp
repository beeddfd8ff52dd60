// The status listener's documents, byte for byte, from a known snapshot.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "http/server_stats.hpp"
#include "ts/status_report.hpp"

namespace {

using orv::ts::StatusSnapshot;

StatusSnapshot sample() {
    StatusSnapshot s;
    s.version = "1.0.0";
    s.service = "svc";
    s.group = "g\"1";
    s.pid = 4242;
    s.start_time = 1765000000.25;
    s.uptime = 12.5;
    s.idle = 3;
    s.busy = 2;
    s.dying = 1;
    s.max_workers = 100;
    s.connections_open = 7;
    s.connections = {4, 2, 1};
    s.connections_reused = 9;
    s.requests = {10, 1, 2, 3, 4, 5, 6, 7, 8};
    s.http_errors = {11, 12, 13, 14, 15, 16};
    s.worker_starts = 20;
    s.worker_exits = 21;
    s.worker_signals = 22;
    s.connection_refusals = 23;
    s.duration_buckets = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    s.duration_count = 15;
    s.duration_sum = 2.5;
    s.workers = {{0, 100, "idle", 5}, {1, 101, "busy", 0}};
    return s;
}

TEST(StatusReport, MetricsTextExposition) {
    std::string const expected = R"(# HELP orv_workers Worker processes by state.
# TYPE orv_workers gauge
orv_workers{state="idle"} 3
orv_workers{state="busy"} 2
orv_workers{state="dying"} 1
# HELP orv_workers_max Most worker processes at once.
# TYPE orv_workers_max gauge
orv_workers_max 100
# HELP orv_connections_open Open HTTP connections on the service port, by what they do.
# TYPE orv_connections_open gauge
orv_connections_open{state="reading"} 4
orv_connections_open{state="worker"} 2
orv_connections_open{state="idle"} 1
# HELP orv_connections_reused_total Requests that came on a connection kept open after an earlier one.
# TYPE orv_connections_reused_total counter
orv_connections_reused_total 9
# HELP orv_requests_total Requests handed to the service, by how they ended.
# TYPE orv_requests_total counter
orv_requests_total{outcome="ok"} 10
orv_requests_total{outcome="frame_refused"} 1
orv_requests_total{outcome="refused_stopping"} 2
orv_requests_total{outcome="no_worker"} 3
orv_requests_total{outcome="start_failed"} 4
orv_requests_total{outcome="crash_loop"} 5
orv_requests_total{outcome="worker_failed"} 6
orv_requests_total{outcome="reply_too_big"} 7
orv_requests_total{outcome="timeout"} 8
# HELP orv_http_errors_total Error responses of the service port, by status.
# TYPE orv_http_errors_total counter
orv_http_errors_total{status="400"} 11
orv_http_errors_total{status="404"} 12
orv_http_errors_total{status="405"} 13
orv_http_errors_total{status="406"} 14
orv_http_errors_total{status="411"} 15
orv_http_errors_total{status="413"} 16
# HELP orv_worker_starts_total Worker processes started.
# TYPE orv_worker_starts_total counter
orv_worker_starts_total 20
# HELP orv_worker_exits_total Worker processes that ended, by how.
# TYPE orv_worker_exits_total counter
orv_worker_exits_total{how="exit"} 21
orv_worker_exits_total{how="signal"} 22
# HELP orv_connection_refusals_total Connections closed unanswered because the connection limit was reached.
# TYPE orv_connection_refusals_total counter
orv_connection_refusals_total 23
# HELP orv_request_duration_seconds Time from a request's request line to the last byte of its response.
# TYPE orv_request_duration_seconds histogram
orv_request_duration_seconds_bucket{le="0.0005"} 1
orv_request_duration_seconds_bucket{le="0.001"} 2
orv_request_duration_seconds_bucket{le="0.0025"} 3
orv_request_duration_seconds_bucket{le="0.005"} 4
orv_request_duration_seconds_bucket{le="0.01"} 5
orv_request_duration_seconds_bucket{le="0.025"} 6
orv_request_duration_seconds_bucket{le="0.05"} 7
orv_request_duration_seconds_bucket{le="0.1"} 8
orv_request_duration_seconds_bucket{le="0.25"} 9
orv_request_duration_seconds_bucket{le="0.5"} 10
orv_request_duration_seconds_bucket{le="1"} 11
orv_request_duration_seconds_bucket{le="2.5"} 12
orv_request_duration_seconds_bucket{le="5"} 13
orv_request_duration_seconds_bucket{le="10"} 14
orv_request_duration_seconds_bucket{le="+Inf"} 15
orv_request_duration_seconds_sum 2.500000
orv_request_duration_seconds_count 15
# HELP orv_build_info The running build; always 1.
# TYPE orv_build_info gauge
orv_build_info{version="1.0.0"} 1
# HELP orv_start_time_seconds When the daemon started, in seconds since the epoch.
# TYPE orv_start_time_seconds gauge
orv_start_time_seconds 1765000000.250000
)";
    EXPECT_EQ(expected, orv::ts::metrics_text(sample()));
}

TEST(StatusReport, StatusJson) {
    EXPECT_EQ(
        "{\"service\":\"svc\",\"group\":\"g\\\"1\",\"pid\":4242,\"version\":\"1.0.0\","
        "\"start_time\":1765000000.250000,\"uptime_seconds\":12.500000,"
        "\"workers\":{\"idle\":3,\"busy\":2,\"dying\":1,\"max\":100},\"connections_open\":7,"
        "\"connections\":{\"reading\":4,\"worker\":2,\"idle\":1,\"reused\":9},"
        "\"requests\":{\"ok\":10,\"frame_refused\":1,\"refused_stopping\":2,\"no_worker\":3,\"start_failed\":4,"
        "\"crash_loop\":5,\"worker_failed\":6,\"reply_too_big\":7,\"timeout\":8},"
        "\"http_errors\":{\"400\":11,\"404\":12,\"405\":13,\"406\":14,\"411\":15,\"413\":16},"
        "\"worker_starts\":20,\"worker_exits\":{\"exit\":21,\"signal\":22},\"connection_refusals\":23,"
        "\"request_duration\":{\"count\":15,\"sum_seconds\":2.500000},"
        "\"worker_list\":[{\"number\":0,\"pid\":100,\"state\":\"idle\",\"requests_served\":5},"
        "{\"number\":1,\"pid\":101,\"state\":\"busy\",\"requests_served\":0}]}",
        orv::ts::status_json(sample()));
}

// A daemon with a queue reports it, after the request durations, in the
// same histogram form; one without reports nothing of it (above).
TEST(StatusReport, QueueMetrics) {
    StatusSnapshot s = sample();
    s.queue_capacity = 50;
    s.queue_length = 4;
    s.queue_timeouts = 5;
    s.queue_overflows = 6;
    s.queue_abandoned = 7;
    s.queue_wait_buckets = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2};
    s.queue_wait_count = 3;
    s.queue_wait_sum = 1.5;
    std::string const text = orv::ts::metrics_text(s);
    std::string const queue = text.substr(text.find("# HELP orv_queue_length"));
    EXPECT_EQ(0u, queue.find("# HELP orv_queue_length Requests waiting for a worker.\n"
                             "# TYPE orv_queue_length gauge\norv_queue_length 4\n"
                             "# HELP orv_queue_wait_seconds "));
    for (char const* line : {"orv_queue_wait_seconds_bucket{le=\"0.005\"} 1\n", "orv_queue_wait_seconds_bucket{le=\"1\"} 2\n",
                             "orv_queue_wait_seconds_bucket{le=\"+Inf\"} 3\n", "orv_queue_wait_seconds_sum 1.500000\n",
                             "orv_queue_timeouts_total 5\n", "orv_queue_overflows_total 6\n",
                             "orv_queue_abandoned_total 7\n# HELP orv_build_info"}) {
        EXPECT_NE(std::string::npos, queue.find(line)) << line;
    }
    EXPECT_NE(std::string::npos,
              orv::ts::status_json(s).find("\"request_duration\":{\"count\":15,\"sum_seconds\":2.500000},"
                                           "\"queue\":{\"length\":4,\"capacity\":50,\"timeouts\":5,\"overflows\":6,"
                                           "\"abandoned\":7,\"wait\":{\"count\":3,\"sum_seconds\":1.500000}},"
                                           "\"worker_list\":["));
}

// A service name is whatever bytes the command line had: well-formed UTF-8
// passes unchanged, every other byte becomes \u00XX of its value, so the
// document is valid JSON whatever the name.
TEST(StatusReport, StatusJsonEscapesEveryByteThatIsNotUtf8) {
    struct Case {
        char const* name;
        std::string bytes;
        std::string json;
    } const cases[] = {
        {"2, 3 and 4 bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"the edges of the range", "\xc2\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf", "\xc2\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"lone continuation bytes", "a\x80\xbf" "b", "a\\u0080\\u00bfb"},
        {"overlong forms", "\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x80\x80\xaf",
         "\\u00c0\\u00af\\u00c1\\u00bf\\u00e0\\u0080\\u00af\\u00f0\\u0080\\u0080\\u00af"},
        {"surrogates", "\xed\xa0\x80\xed\xbf\xbf", "\\u00ed\\u00a0\\u0080\\u00ed\\u00bf\\u00bf"},
        {"above U+10FFFF", "\xf4\x90\x80\x80\xf5\x80", "\\u00f4\\u0090\\u0080\\u0080\\u00f5\\u0080"},
        {"cut sequences", "\xe2\x82" "a\xf0\x9f\x98", "\\u00e2\\u0082a\\u00f0\\u009f\\u0098"},
        {"0xFF and 0xFE", "\xff\xfe", "\\u00ff\\u00fe"},
        {"controls, quotes, DEL", std::string("\x01\n\"\\\x7f", 5), "\\u0001\\u000a\\\"\\\\\x7f"},
    };
    for (auto const& c : cases) {
        StatusSnapshot s = sample();
        s.service = c.bytes;
        std::string const json = orv::ts::status_json(s);
        EXPECT_EQ("{\"service\":\"" + c.json + "\",\"group\":", json.substr(0, json.find(",\"group\":") + 9))
            << c.name;
    }
}

// Durations fall into the first bucket whose bound they do not exceed; the
// buckets read back cumulative, and statuses outside the list count as 0.
TEST(StatusReport, ServerStatsCountIntoBuckets) {
    using std::chrono::microseconds;
    orv::net::http::ServerStats stats;
    stats.response(200, microseconds(400));
    stats.response(200, microseconds(500));
    stats.response(503, microseconds(3000));
    stats.response(418, std::chrono::seconds(20));
    auto const buckets = stats.cumulative_buckets();
    EXPECT_EQ(2u, buckets[0]);
    EXPECT_EQ(2u, buckets[2]);
    EXPECT_EQ(3u, buckets[3]);
    EXPECT_EQ(3u, buckets.back());
    EXPECT_EQ(4u, stats.duration_count());
    EXPECT_EQ(20003900u, stats.duration_sum_us());
    EXPECT_EQ(2u, stats.responses(200));
    EXPECT_EQ(1u, stats.responses(503));
    EXPECT_EQ(1u, stats.responses(0));
    EXPECT_EQ(0u, stats.responses(418));
}

}  // namespace
