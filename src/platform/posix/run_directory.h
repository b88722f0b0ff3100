// The run directory and the objects in it, opened by the same rules by
// whoever opens them: the directory itself and never a symbolic link in its
// place, then each object relative to the directory so opened, again never
// through a link, and without waiting should a FIFO stand at its name.
#ifndef SORVIK_PLATFORM_POSIX_RUN_DIRECTORY_H
#define SORVIK_PLATFORM_POSIX_RUN_DIRECTORY_H

#include <fcntl.h>

#include <string>

namespace sorvik::platform {

inline int openRunDirectory(const char *directory) {
    return open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// `access` is O_RDONLY or O_RDWR; the object is never created here.
inline int openRunObject(int directoryFd, const std::string &name, int access) {
    return openat(directoryFd, name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The lock object of region NAME, which the journal follows.
inline std::string lockObjectName(const std::string &region) { return region + ".lock"; }

}  // namespace sorvik::platform

#endif
