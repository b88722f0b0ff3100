// The shared region on POSIX: two shared-memory objects, NAME (the table)
// and NAME.lock (a robust process-shared mutex followed by the journal).
//
// POSIX shared memory outlives its users, so the users are tracked with
// flock: every attached process holds a shared lock on NAME for as long as
// it is attached, and the kernel drops it when the process ends, however it
// ends. An attach is serialised by an exclusive flock on NAME.lock; an
// attach that can then lock NAME exclusively knows that nobody uses the
// region and builds it afresh.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

namespace sorvik::platform {
namespace {

constexpr uint32_t kLockMagic = 0x536f724cu;  // "SorL"
constexpr size_t kLockHeader = 128;           // magic and mutex, then the journal

struct LockObject {
    std::atomic<uint32_t> magic;
    pthread_mutex_t mutex;
};
static_assert(sizeof(LockObject) <= kLockHeader, "the lock header holds the mutex");

enum Handle { regionFd = 0 };

size_t pageRound(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

int flockRetrying(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Opens or creates the object, refusing one that another user made first or
// that others may use: its contents would reach this user's processes.
int openShared(const std::string &name) {
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Gives the object at least `bytes`; a shorter one is grown with zeros.
bool ensureSize(int fd, size_t bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (static_cast<size_t>(st.st_size) >= bytes) return true;
    return ftruncate(fd, static_cast<off_t>(bytes)) == 0;
}

void *mapShared(int fd, size_t bytes) {
    void *view = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

bool initMutex(pthread_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

struct Attach {
    int lockFd = -1;
    int tableFd = -1;
    void *lockView = nullptr;
    void *table = nullptr;
    size_t lockBytes = 0;
    size_t tableBytes = 0;

    void release() {
        if (table) munmap(table, tableBytes);
        if (lockView) munmap(lockView, lockBytes);
        if (tableFd >= 0) close(tableFd);
        if (lockFd >= 0) close(lockFd);
    }
};

// Runs with the exclusive attach flock held on attach->lockFd.
bool attachLocked(const std::string &name, BuildRegion build, void *context, Attach *attach,
                  SharedRegion *region) {
    if (!ensureSize(attach->lockFd, attach->lockBytes)) return false;
    attach->lockView = mapShared(attach->lockFd, attach->lockBytes);
    if (!attach->lockView) return false;
    auto *lock = static_cast<LockObject *>(attach->lockView);
    // A process that died while setting up the mutex never wrote the magic,
    // so the next attach simply sets it up again.
    if (lock->magic.load(std::memory_order_acquire) != kLockMagic) {
        if (!initMutex(&lock->mutex)) return false;
        lock->magic.store(kLockMagic, std::memory_order_release);
    }

    attach->tableFd = openShared(name);
    if (attach->tableFd < 0) return false;
    const bool unused = flockRetrying(attach->tableFd, LOCK_EX | LOCK_NB) == 0;
    if (unused) {
        // Nobody is attached: whatever the object holds is left over from
        // users that have gone. Start from zero bytes, as a new region does.
        if (ftruncate(attach->tableFd, 0) != 0 ||
            ftruncate(attach->tableFd, static_cast<off_t>(attach->tableBytes)) != 0)
            return false;
    } else {
        if (flockRetrying(attach->tableFd, LOCK_SH) != 0) return false;
        struct stat st;
        if (fstat(attach->tableFd, &st) != 0 || static_cast<size_t>(st.st_size) < attach->tableBytes)
            return false;
    }
    attach->table = mapShared(attach->tableFd, attach->tableBytes);
    if (!attach->table) return false;

    region->table = attach->table;
    region->journal = static_cast<char *>(attach->lockView) + kLockHeader;
    region->lockView = attach->lockView;
    region->handles[regionFd] = attach->tableFd;
    if (unused) {
        std::memset(region->journal, 0, region->journalBytes);
        build(context, region);
        // Still holding the attach flock, so nobody can slip in between.
        if (flockRetrying(attach->tableFd, LOCK_SH) != 0) return false;
    }
    return true;
}

}  // namespace

bool openRegion(const char *name, size_t tableBytes, size_t journalBytes, BuildRegion build, void *context,
                SharedRegion *region) {
    *region = SharedRegion{};
    region->tableBytes = tableBytes;
    region->journalBytes = journalBytes;
    const std::string tableName = std::string("/") + name;

    Attach attach;
    attach.tableBytes = tableBytes;
    attach.lockBytes = pageRound(kLockHeader + journalBytes);
    attach.lockFd = openShared(tableName + ".lock");
    if (attach.lockFd < 0) return false;
    if (flockRetrying(attach.lockFd, LOCK_EX) != 0) {
        attach.release();
        return false;
    }
    const bool ok = attachLocked(tableName, build, context, &attach, region);
    flockRetrying(attach.lockFd, LOCK_UN);
    close(attach.lockFd);
    attach.lockFd = -1;
    if (!ok) {
        attach.release();
        *region = SharedRegion{};
    }
    return ok;
}

void closeRegion(SharedRegion *region) {
    if (region->table) munmap(region->table, region->tableBytes);
    if (region->lockView) munmap(region->lockView, pageRound(kLockHeader + region->journalBytes));
    if (region->handles[regionFd] >= 0) close(static_cast<int>(region->handles[regionFd]));
    *region = SharedRegion{};
}

LockResult lockRegion(SharedRegion *region) {
    if (!region->lockView) return LockResult::failed;
    auto *lock = static_cast<LockObject *>(region->lockView);
    const int result = pthread_mutex_lock(&lock->mutex);
    if (result == 0) return LockResult::acquired;
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(&lock->mutex);
        return LockResult::ownerDied;
    }
    return LockResult::failed;
}

void unlockRegion(SharedRegion *region) {
    pthread_mutex_unlock(&static_cast<LockObject *>(region->lockView)->mutex);
}

}  // namespace sorvik::platform
