#ifndef ORV_COMMON_EXCEPTION_HPP
#define ORV_COMMON_EXCEPTION_HPP

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/format.hpp>

namespace orv {

// The root of the daemon's own failures. The message lives in one heap C
// string so that copying an exception and reading its text never throw; when
// the string cannot be allocated, what() falls back to a fixed text.
class Exception : public std::exception {
public:
    explicit Exception(char const* text);
    explicit Exception(std::string const& text);

    // Formatted messages: "%1%" and "%2%" are replaced by the arguments in
    // their ordinary stream form.
    template <typename A>
    Exception(char const* format, A const& a) : message_(nullptr) {
        init(boost::format(format) % a);
    }

    template <typename A, typename B>
    Exception(char const* format, A const& a, B const& b) : message_(nullptr) {
        init(boost::format(format) % a % b);
    }

    Exception(Exception const& other) noexcept;
    Exception& operator=(Exception const& other) noexcept;
    ~Exception() override;

    char const* what() const noexcept override;

protected:
    void init(boost::format const& format);

private:
    char* message_;
};

// A call made in a state that forbids it.
class LogicalError : public Exception {
public:
    LogicalError();
};

// A failure with an error code that the messaging layer passes back to the
// client. The code is not copied: callers pass text of static storage duration.
class EC2Exception : public Exception {
public:
    EC2Exception(char const* code, char const* message);
    EC2Exception(char const* code, std::string const& message);

    char const* code_;
};

// The C library's text for an errno value.
std::string error_string(int errnum);

namespace detail {
// The allocation behind every exception message. Tests replace it to make the
// allocation fail; production code never touches it.
extern char* (*duplicate_text)(char const* text);
}  // namespace detail

namespace net {
namespace messaging {

// A request the service cannot take now; answered with "503 Service Unavailable".
class ServiceUnavailableError : public std::runtime_error {
public:
    explicit ServiceUnavailableError(std::string const& message) : std::runtime_error(message) {}
};

// A request whose worker did not answer in time; answered with "504 Gateway
// Timeout" and the message as a plain-text body.
class GatewayTimeoutError : public std::runtime_error {
public:
    explicit GatewayTimeoutError(std::string const& message) : std::runtime_error(message) {}
};

}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
