// Reads the holder of a region's lock from outside, for tools that tell a
// person who keeps them waiting. It opens the lock object read-only, by the
// same rules as an attach (no link followed, a regular file only), and never
// creates it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/lock_object.h"
#include "platform/posix/run_directory.h"

namespace sorvik::platform {

bool lockHolder(const char *directory, const char *name, LockHolder *holder) {
    const int directoryFd = openRunDirectory(directory);
    if (directoryFd < 0) return false;
    const int fd = openRunObject(directoryFd, lockObjectName(name), O_RDONLY);
    close(directoryFd);
    if (fd < 0) return false;
    struct stat st;
    void *view = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) >= kLockHeader)
        view = mmap(nullptr, kLockHeader, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return false;
    const auto *lock = static_cast<const LockObject *>(view);
    bool held = false;
    Holder record;
    if (lock->magic.load(std::memory_order_acquire) == kLockMagic && lock->layout == kLockLayout) {
        const int32_t owner = owningThread(lock);
        held = owner != 0;
        if (held) {
            *holder = LockHolder{};
            // A holder that has not yet written the record, or one the record
            // does not name, is still a holder; only its process is unknown.
            if (readHolder(lock, &record) && record.threadId == owner) {
                holder->acquisition = record.acquisitions;
                holder->processId = static_cast<uint32_t>(record.processId);
            }
        }
    }
    munmap(view, kLockHeader);
    return held;
}

}  // namespace sorvik::platform
