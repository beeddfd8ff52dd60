#include "ts/status_report.hpp"

#include <cstdio>
#include <sstream>

namespace orv {
namespace ts {

namespace {

// A metric's HELP and TYPE lines.
void family(std::ostream& out, char const* name, char const* type, char const* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

// A bucket's bound as the exposition writes it: 0.0005, ..., 2.5, 10.
std::string bucket_bound(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(us) / 1e6);
    return text;
}

std::string seconds(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.6f", value);
    return text;
}

// The length of the well-formed UTF-8 sequence at text[i], or 0 when none
// starts there: overlong forms, surrogates, code points above U+10FFFF and
// cut sequences are not well-formed.
std::size_t utf8_length(std::string const& text, std::size_t i) {
    unsigned char const c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        if (c == 0xe0) low = 0xa0;
        if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        if (c == 0xf0) low = 0x90;
        if (c == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        unsigned char const next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) return 0;
    }
    return length;
}

// A JSON string: quotes, backslashes and control characters escaped, and
// every byte that is not part of well-formed UTF-8 written as \u00XX of its
// value, so that the document is always valid. Such an escape stands for
// the raw byte: the characters U+0080 to U+00FF themselves arrive as UTF-8
// and pass unchanged, like every other well-formed sequence.
std::string json_string(std::string const& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        unsigned char const c = static_cast<unsigned char>(text[i]);
        std::size_t const length = utf8_length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || length == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

// A histogram in the buckets of ServerStats::BUCKETS_US.
template <typename Buckets>
void histogram(std::ostream& out, char const* name, char const* help, Buckets const& buckets, std::uint64_t count,
               double sum) {
    family(out, name, "histogram", help);
    auto const& bounds = net::http::ServerStats::BUCKETS_US;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        out << name << "_bucket{le=\"" << bucket_bound(bounds[i]) << "\"} " << buckets[i] << '\n';
    }
    out << name << "_bucket{le=\"+Inf\"} " << count << '\n'
        << name << "_sum " << seconds(sum) << '\n'
        << name << "_count " << count << '\n';
}

void queue_metrics(std::ostream& out, StatusSnapshot const& s) {
    family(out, "orv_queue_length", "gauge", "Requests waiting for a worker.");
    out << "orv_queue_length " << s.queue_length << '\n';
    histogram(out, "orv_queue_wait_seconds", "How long requests waited for a worker, whatever ended the wait.",
              s.queue_wait_buckets, s.queue_wait_count, s.queue_wait_sum);
    family(out, "orv_queue_timeouts_total", "counter", "Requests that waited for a worker in vain: 503.");
    out << "orv_queue_timeouts_total " << s.queue_timeouts << '\n';
    family(out, "orv_queue_overflows_total", "counter", "Requests that found the queue full: 503.");
    out << "orv_queue_overflows_total " << s.queue_overflows << '\n';
    family(out, "orv_queue_abandoned_total", "counter", "Waiting requests whose client left.");
    out << "orv_queue_abandoned_total " << s.queue_abandoned << '\n';
}

// The connection states in the order of StatusSnapshot::connections.
constexpr std::array<char const*, 3> CONNECTION_STATES = {"reading", "worker", "idle"};

}  // namespace

std::string metrics_text(StatusSnapshot const& s) {
    std::ostringstream out;
    family(out, "orv_workers", "gauge", "Worker processes by state.");
    out << "orv_workers{state=\"idle\"} " << s.idle << "\norv_workers{state=\"busy\"} " << s.busy
        << "\norv_workers{state=\"dying\"} " << s.dying << '\n';
    family(out, "orv_workers_max", "gauge", "Most worker processes at once.");
    out << "orv_workers_max " << s.max_workers << '\n';
    family(out, "orv_connections_open", "gauge", "Open HTTP connections on the service port, by what they do.");
    for (std::size_t i = 0; i < CONNECTION_STATES.size(); ++i) {
        out << "orv_connections_open{state=\"" << CONNECTION_STATES[i] << "\"} " << s.connections[i] << '\n';
    }
    family(out, "orv_connections_reused_total", "counter",
           "Requests that came on a connection kept open after an earlier one.");
    out << "orv_connections_reused_total " << s.connections_reused << '\n';
    family(out, "orv_requests_total", "counter", "Requests handed to the service, by how they ended.");
    for (std::size_t i = 0; i < OUTCOMES; ++i) {
        out << "orv_requests_total{outcome=\"" << outcome_name(static_cast<Outcome>(i)) << "\"} " << s.requests[i]
            << '\n';
    }
    family(out, "orv_http_errors_total", "counter", "Error responses of the service port, by status.");
    for (std::size_t i = 0; i < HTTP_ERRORS.size(); ++i) {
        out << "orv_http_errors_total{status=\"" << HTTP_ERRORS[i] << "\"} " << s.http_errors[i] << '\n';
    }
    family(out, "orv_worker_starts_total", "counter", "Worker processes started.");
    out << "orv_worker_starts_total " << s.worker_starts << '\n';
    family(out, "orv_worker_exits_total", "counter", "Worker processes that ended, by how.");
    out << "orv_worker_exits_total{how=\"exit\"} " << s.worker_exits << "\norv_worker_exits_total{how=\"signal\"} "
        << s.worker_signals << '\n';
    family(out, "orv_connection_refusals_total", "counter",
           "Connections closed unanswered because the connection limit was reached.");
    out << "orv_connection_refusals_total " << s.connection_refusals << '\n';
    histogram(out, "orv_request_duration_seconds",
              "Time from a request's request line to the last byte of its response.", s.duration_buckets,
              s.duration_count, s.duration_sum);
    if (s.queue_capacity != 0) queue_metrics(out, s);
    family(out, "orv_build_info", "gauge", "The running build; always 1.");
    out << "orv_build_info{version=\"" << s.version << "\"} 1\n";
    family(out, "orv_start_time_seconds", "gauge", "When the daemon started, in seconds since the epoch.");
    out << "orv_start_time_seconds " << seconds(s.start_time) << '\n';
    return out.str();
}

std::string status_json(StatusSnapshot const& s) {
    std::ostringstream out;
    out << "{\"service\":" << json_string(s.service) << ",\"group\":" << json_string(s.group) << ",\"pid\":" << s.pid
        << ",\"version\":" << json_string(s.version) << ",\"start_time\":" << seconds(s.start_time)
        << ",\"uptime_seconds\":" << seconds(s.uptime) << ",\"workers\":{\"idle\":" << s.idle << ",\"busy\":" << s.busy
        << ",\"dying\":" << s.dying << ",\"max\":" << s.max_workers << "},\"connections_open\":" << s.connections_open
        << ",\"connections\":{";
    for (std::size_t i = 0; i < CONNECTION_STATES.size(); ++i) {
        out << '"' << CONNECTION_STATES[i] << "\":" << s.connections[i] << ',';
    }
    out << "\"reused\":" << s.connections_reused << "},\"requests\":{";
    for (std::size_t i = 0; i < OUTCOMES; ++i) {
        out << (i ? "," : "") << '"' << outcome_name(static_cast<Outcome>(i)) << "\":" << s.requests[i];
    }
    out << "},\"http_errors\":{";
    for (std::size_t i = 0; i < HTTP_ERRORS.size(); ++i) {
        out << (i ? "," : "") << '"' << HTTP_ERRORS[i] << "\":" << s.http_errors[i];
    }
    out << "},\"worker_starts\":" << s.worker_starts << ",\"worker_exits\":{\"exit\":" << s.worker_exits
        << ",\"signal\":" << s.worker_signals << "},\"connection_refusals\":" << s.connection_refusals
        << ",\"request_duration\":{\"count\":" << s.duration_count << ",\"sum_seconds\":" << seconds(s.duration_sum)
        << '}';
    if (s.queue_capacity != 0) {
        out << ",\"queue\":{\"length\":" << s.queue_length << ",\"capacity\":" << s.queue_capacity
            << ",\"timeouts\":" << s.queue_timeouts << ",\"overflows\":" << s.queue_overflows
            << ",\"abandoned\":" << s.queue_abandoned << ",\"wait\":{\"count\":" << s.queue_wait_count
            << ",\"sum_seconds\":" << seconds(s.queue_wait_sum) << "}}";
    }
    out << ",\"worker_list\":[";
    for (std::size_t i = 0; i < s.workers.size(); ++i) {
        StatusSnapshot::WorkerEntry const& w = s.workers[i];
        out << (i ? "," : "") << "{\"number\":" << w.number << ",\"pid\":" << w.pid << ",\"state\":\"" << w.state
            << "\",\"requests_served\":" << w.requests_served << '}';
    }
    out << "]}";
    return out.str();
}

}  // namespace ts
}  // namespace orv
