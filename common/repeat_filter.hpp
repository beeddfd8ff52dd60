#ifndef ORV_COMMON_REPEAT_FILTER_HPP
#define ORV_COMMON_REPEAT_FILTER_HPP

#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#include <glog/logging.h>

namespace orv {
namespace logging {

// Stands between the logging library and one of its files. A record whose
// text was already written `limit` times in the current second is held
// back; once that second is over, one line (the last record held, followed
// by "(repeated N more times)") says how many were. A crash-looping worker
// or a flood of identical requests can then neither fill the disk nor
// outrun the library's file rotation, and no count is lost.
class RepeatFilter : public google::base::Logger {
public:
    // Keeps the file logger, which stays the library's.
    RepeatFilter(google::base::Logger* file, std::size_t limit);

    void Write(bool force_flush, time_t timestamp, char const* message, std::size_t length) override;
    void Flush() override;
    google::uint32 LogSize() override;

    // Writes the summaries of a second that is over. Called once a second,
    // so that the summary of a burst does not wait for the next record.
    void flush_repeats(time_t now);

private:
    struct Seen {
        std::size_t written = 0;
        std::size_t held = 0;
        std::string last_held;
    };

    void close_second();

    google::base::Logger* const file_;
    std::size_t const limit_;
    std::mutex mutex_;
    time_t second_;
    std::unordered_map<std::string, Seen> seen_;
};

}  // namespace logging
}  // namespace orv

#endif
