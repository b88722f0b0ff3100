// Windows keeps no record of a mutex's owner that another process can
// read, and the library keeps none either: the holder cannot be named.
#include "platform/platform.h"

namespace sorvik::platform {

bool lockHolder(const char *, const char *, LockHolder *) { return false; }

}  // namespace sorvik::platform
