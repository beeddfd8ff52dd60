#include "http/descriptor_limit.hpp"

#include <sys/resource.h>

#include <cerrno>

#include <glog/logging.h>

#include "common/exception.hpp"

namespace orv {
namespace net {
namespace http {

void raise_descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        LOG(ERROR) << "Failed to read the limit on open files: " << error_string(errno) << ".";
        return;
    }
    if (limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        LOG(ERROR) << "Failed to raise the limit on open files: " << error_string(errno) << ".";
}

}  // namespace http
}  // namespace net
}  // namespace orv
