// The host address on Windows comes from Winsock, which the library never
// starts itself: it is the caller's to start, or the address stays zero.
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "support/windows_support.h"

namespace sorvik {
namespace {

std::vector<uint8_t> hostAddress() {
    uint8_t address[4];
    platform::hostAddress(address);
    return std::vector<uint8_t>(address, address + 4);
}

TEST(HostAddress, IsZeroUntilTheCallerStartsWinsock) {
    const std::vector<uint8_t> zero(4, 0);
    EXPECT_EQ(hostAddress(), zero) << "this process has not started Winsock";
    ASSERT_TRUE(wintest::startWinsock());
    EXPECT_EQ(hostAddress(), wintest::resolvedHostAddress());
    EXPECT_NE(wintest::resolvedHostAddress(), zero) << "the host's name resolves once Winsock runs";
    wintest::stopWinsock();
    EXPECT_EQ(hostAddress(), zero) << "and stopping it makes the address zero again";
}

}  // namespace
}  // namespace sorvik
