#include "platform/platform.h"

#include <windows.h>

namespace sorvik::platform {

int64_t currentTime() {
    // FILETIME counts 100 ns steps since 1601-01-01 UTC; the C runtime's
    // time() differs between the 32-bit and 64-bit CRTs, this does not.
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kFrom1601To1970 = 11644473600LL;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return ticks / kTicksPerSecond - kFrom1601To1970;
}

}  // namespace sorvik::platform
