#ifndef ORV_TESTS_SUPPORT_EVENTUALLY_HPP
#define ORV_TESTS_SUPPORT_EVENTUALLY_HPP

#include <chrono>
#include <functional>

namespace orv {
namespace test {

// Polls done() every millisecond until it holds (true) or the limit passes
// (false). The one way the suite waits for something another thread or
// process does.
bool eventually(std::function<bool()> const& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace test
}  // namespace orv

#endif
