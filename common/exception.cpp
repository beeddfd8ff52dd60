#include "common/exception.hpp"

#include <cstdlib>
#include <cstring>

namespace orv {

namespace detail {
char* (*duplicate_text)(char const* text) = ::strdup;
}

namespace {
char const MEMORY_ALLOCATION_ERROR[] = "Memory allocation error";
}

Exception::Exception(char const* text) : message_(detail::duplicate_text(text)) {}

Exception::Exception(std::string const& text) : message_(detail::duplicate_text(text.c_str())) {}

// The copy goes through the virtual what(), so a copy of an exception without
// a message holds its own duplicate of the fallback text.
Exception::Exception(Exception const& other) noexcept
    : std::exception(other), message_(detail::duplicate_text(other.what())) {}

// The duplicate is taken before the old message is released, which makes
// self-assignment safe.
Exception& Exception::operator=(Exception const& other) noexcept {
    char* copy = detail::duplicate_text(other.what());
    std::free(message_);
    message_ = copy;
    return *this;
}

Exception::~Exception() { std::free(message_); }

char const* Exception::what() const noexcept {
    return message_ != nullptr ? message_ : MEMORY_ALLOCATION_ERROR;
}

void Exception::init(boost::format const& format) {
    message_ = detail::duplicate_text(format.str().c_str());
}

LogicalError::LogicalError() : Exception("Logical error") {}

EC2Exception::EC2Exception(char const* code, char const* message)
    : Exception(message), code_(code) {}

EC2Exception::EC2Exception(char const* code, std::string const& message)
    : Exception(message), code_(code) {}

std::string error_string(int errnum) { return std::strerror(errnum); }

}  // namespace orv
