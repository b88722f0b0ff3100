// Reads the holder of a region's lock from outside, for tools that tell a
// person who keeps them waiting. It opens the lock object read-only and
// never creates it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/lock_object.h"

namespace sorvik::platform {

bool lockHolder(const char *name, LockHolder *holder) {
    const int fd = shm_open((std::string("/") + name + ".lock").c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    struct stat st;
    void *view = MAP_FAILED;
    if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kLockHeader)
        view = mmap(nullptr, kLockHeader, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return false;
    const auto *lock = static_cast<const LockObject *>(view);
    bool held = false;
    Holder record;
    if (lock->magic.load(std::memory_order_acquire) == kLockMagic) {
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
