// The clock counts from the system's file time, not the C runtime's time(),
// whose width differs between the 32-bit and 64-bit runtimes: both must
// still tell the same second.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/platform.h"

namespace sorvik {
namespace {

TEST(Clock, CountsSecondsSince1970Utc) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = platform::currentTime();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

}  // namespace
}  // namespace sorvik
