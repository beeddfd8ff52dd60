#ifndef ORV_TESTS_SUPPORT_LOG_CAPTURE_HPP
#define ORV_TESTS_SUPPORT_LOG_CAPTURE_HPP

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>

namespace orv {
namespace test {

// Collects every log line written while it exists, so tests can assert on
// exact texts. Lines may arrive from any thread.
class LogCapture : public google::LogSink {
public:
    struct Line {
        google::LogSeverity severity;
        std::string file;
        std::string text;
    };

    LogCapture();
    ~LogCapture() override;

    using google::LogSink::send;
    void send(google::LogSeverity severity, char const* full_filename, char const* base_filename, int line,
              google::LogMessageTime const& time, char const* message, std::size_t message_len) override;

    std::vector<Line> lines() const;
    // Lines of this severity whose text is exactly `text`.
    std::size_t count(google::LogSeverity severity, std::string const& text) const;
    // Lines of this severity whose text starts with the prefix.
    std::size_t count_prefix(google::LogSeverity severity, std::string const& prefix) const;
    // Waits (bounded) until a line with this text and severity is logged.
    bool wait_for(google::LogSeverity severity, std::string const& text, int timeout_ms = 5000) const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace test
}  // namespace orv

#endif
