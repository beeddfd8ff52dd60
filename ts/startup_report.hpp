#ifndef ORV_TS_STARTUP_REPORT_HPP
#define ORV_TS_STARTUP_REPORT_HPP

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ts/service_events.hpp"

namespace orv {
class TrustedDirectory;

namespace daemon {
class Readiness;
}  // namespace daemon

namespace ts {

// Tells the outside world how the daemon is doing: the pid file once it
// listens, the launcher waiting on its readiness pipe, and a service manager
// (through the notification socket named by NOTIFY_SOCKET, when set).
class StartupReport : public ServiceEvents {
public:
    // readiness may be null (foreground); pid_directory is null without a
    // pid file, which is then pid_name in that directory (which must
    // outlive the report).
    StartupReport(daemon::Readiness* readiness, TrustedDirectory const* pid_directory = nullptr,
                  std::string const& pid_name = std::string());
    ~StartupReport() override;

    void listening(unsigned short port) override;
    void census(std::uint64_t workers, std::uint64_t busy, std::uint64_t idle) override;
    void recycling() override;
    void recycled() override;
    void stopping() override;

    // The start failed: the launcher hears why.
    void failed(std::string const& text);

private:
    void write_pid_file();

    daemon::Readiness* const readiness_;
    TrustedDirectory const* const pid_directory_;
    std::string const pid_name_;
    bool pid_file_written_;
    std::mutex mutex_;  // guards last_status_
    std::string last_status_;
};

}  // namespace ts
}  // namespace orv

#endif
