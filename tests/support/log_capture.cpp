#include "log_capture.hpp"

#include <chrono>

#include "eventually.hpp"

namespace orv {
namespace test {

LogCapture::LogCapture() { google::AddLogSink(this); }

LogCapture::~LogCapture() { google::RemoveLogSink(this); }

void LogCapture::send(google::LogSeverity severity, char const*, char const* base_filename, int,
                      google::LogMessageTime const&, char const* message, std::size_t message_len) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(Line{severity, base_filename, std::string(message, message_len)});
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::size_t LogCapture::count(google::LogSeverity severity, std::string const& text) const {
    std::size_t n = 0;
    for (Line const& line : lines()) n += line.severity == severity && line.text == text;
    return n;
}

std::size_t LogCapture::count_prefix(google::LogSeverity severity, std::string const& prefix) const {
    std::size_t n = 0;
    for (Line const& line : lines()) n += line.severity == severity && line.text.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool LogCapture::wait_for(google::LogSeverity severity, std::string const& text, int timeout_ms) const {
    return eventually([&] { return count(severity, text) > 0; }, std::chrono::milliseconds(timeout_ms));
}

}  // namespace test
}  // namespace orv
