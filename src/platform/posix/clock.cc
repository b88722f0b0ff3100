#include "platform/platform.h"

#include <time.h>

namespace sorvik::platform {

int64_t currentTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace sorvik::platform
