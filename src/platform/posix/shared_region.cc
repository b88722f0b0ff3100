// The shared region on POSIX: two regular files in the site's run
// directory, NAME (the table) and NAME.lock (a header with a robust
// process-shared mutex, followed by the journal). Files in a directory of the
// site's own rather than objects in /dev/shm, which everyone may write: the
// directory's owner, group and mode decide who shares the table, and nobody
// outside can create, pre-empt or read the objects. Under /run they live on
// tmpfs, in memory like any shared memory.
//
// The files outlive their users, so the users are tracked with flock: every
// attached process holds a shared lock on NAME for as long as it is attached,
// and the kernel drops it when the process ends, however it ends. An attach
// is serialised by an exclusive flock on NAME.lock; an attach that can then
// lock NAME exclusively knows that nobody uses the region and builds it
// afresh.
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
constexpr size_t kLockHeader = 128;           // the header and mutex, then the journal

// The lock object's first bytes, in the same place for every build, so that
// an attach can tell whether another build (another layout, other sizes, a
// 32-bit library beside a 64-bit one) wrote what it finds.
struct LockObject {
    std::atomic<uint32_t> magic;  // written last, once the rest holds
    uint32_t layout;
    uint64_t tableBytes;
    uint64_t journalBytes;
    pthread_mutex_t mutex;
};
static_assert(sizeof(LockObject) <= kLockHeader, "the lock header holds the mutex");
// Changes whenever the header's layout or the mutex's size changes.
constexpr uint32_t kLockLayout = (1u << 16) | static_cast<uint32_t>(sizeof(LockObject));

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

bool fail(int *error, int value) {
    *error = value;
    return false;
}

// Opens or creates the object `name` in the run directory, never through a
// symbolic link. One that is not a regular file, that others may open, or
// whose group is not the directory's is refused: its contents would reach
// users outside the site, or it could block or mislead its users.
int openObject(int directoryFd, const struct stat &directory, const std::string &name, int *error) {
    int fd = -1;
    bool created = false;
    // The open without O_CREAT comes first so that an object made by another
    // member of the group is taken as it is; the loop covers an object
    // created or removed between the two opens.
    for (int tries = 0; fd < 0 && tries < 8; ++tries) {
        fd = openat(directoryFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) break;
        fd = openat(directoryFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
        created = fd >= 0;
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (created) {
        // A directory without the setgid bit gives the creator's group, and
        // the umask may have taken the group's bits: the group must be able
        // to use what one member made.
        if (directory.st_gid != getegid()) (void)fchown(fd, static_cast<uid_t>(-1), directory.st_gid);
        (void)fchmod(fd, 0660);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        *error = EINVAL;
    } else if ((st.st_mode & S_IRWXO) != 0 || st.st_gid != directory.st_gid) {
        *error = EPERM;
    } else {
        return fd;
    }
    close(fd);
    // What this process made and cannot give the group's form would stand in
    // everyone's way until removed by hand.
    if (created) unlinkat(directoryFd, name.c_str(), 0);
    return -1;
}

off_t sizeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// Empties the object and gives it `bytes` zero bytes.
bool rebuildSize(int fd, size_t bytes) {
    return ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
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

bool lockChecksOut(const LockObject *lock, size_t tableBytes, size_t journalBytes) {
    return lock->magic.load(std::memory_order_acquire) == kLockMagic && lock->layout == kLockLayout &&
           lock->tableBytes == tableBytes && lock->journalBytes == journalBytes;
}

struct Attach {
    int directoryFd = -1;
    struct stat directory {};
    int lockFd = -1;
    int tableFd = -1;
    void *lockView = nullptr;
    void *table = nullptr;
    size_t lockBytes = 0;
    size_t tableBytes = 0;
    size_t journalBytes = 0;

    void release() {
        if (table) munmap(table, tableBytes);
        if (lockView) munmap(lockView, lockBytes);
        if (tableFd >= 0) close(tableFd);
        if (lockFd >= 0) close(lockFd);
        if (directoryFd >= 0) close(directoryFd);
    }
};

// Maps the lock object. Nobody else uses it when `unused`: one that does not
// check out is then made anew, never trusted; one in use that does not
// check out is refused, since its users' mutex and journal are not what this
// library would read.
bool mapLock(Attach *attach, bool unused, int *error) {
    const bool rightSize = sizeOf(attach->lockFd) == static_cast<off_t>(attach->lockBytes);
    if (rightSize) {
        attach->lockView = mapShared(attach->lockFd, attach->lockBytes);
        if (!attach->lockView) return fail(error, errno);
        if (lockChecksOut(static_cast<LockObject *>(attach->lockView), attach->tableBytes, attach->journalBytes))
            return true;
    }
    if (!unused) return fail(error, EUCLEAN);
    if (attach->lockView) munmap(attach->lockView, attach->lockBytes);
    attach->lockView = nullptr;
    if (!rebuildSize(attach->lockFd, attach->lockBytes)) return fail(error, errno);
    attach->lockView = mapShared(attach->lockFd, attach->lockBytes);
    if (!attach->lockView) return fail(error, errno);
    auto *lock = static_cast<LockObject *>(attach->lockView);
    // A process that dies before the magic is written leaves an object that
    // does not check out, so the next attach simply builds it again.
    if (!initMutex(&lock->mutex)) return fail(error, EAGAIN);
    lock->layout = kLockLayout;
    lock->tableBytes = attach->tableBytes;
    lock->journalBytes = attach->journalBytes;
    lock->magic.store(kLockMagic, std::memory_order_release);
    return true;
}

// Runs with the exclusive attach flock held on attach->lockFd.
bool attachLocked(const std::string &name, BuildRegion build, void *context, Attach *attach,
                  SharedRegion *region, int *error) {
    attach->tableFd = openObject(attach->directoryFd, attach->directory, name, error);
    if (attach->tableFd < 0) return false;
    const bool unused = flockRetrying(attach->tableFd, LOCK_EX | LOCK_NB) == 0;
    if (!unused && errno != EWOULDBLOCK) return fail(error, errno);
    if (!mapLock(attach, unused, error)) return false;
    if (unused) {
        // Nobody is attached: whatever the object holds is left over from
        // users that have gone. Start from zero bytes, as a new region does.
        if (!rebuildSize(attach->tableFd, attach->tableBytes)) return fail(error, errno);
    } else {
        if (flockRetrying(attach->tableFd, LOCK_SH) != 0) return fail(error, errno);
        // Mapping an object shorter than the table would fault on its end.
        if (sizeOf(attach->tableFd) != static_cast<off_t>(attach->tableBytes)) return fail(error, EUCLEAN);
    }
    attach->table = mapShared(attach->tableFd, attach->tableBytes);
    if (!attach->table) return fail(error, errno);

    region->table = attach->table;
    region->journal = static_cast<char *>(attach->lockView) + kLockHeader;
    region->lockView = attach->lockView;
    region->handles[regionFd] = attach->tableFd;
    if (unused) {
        std::memset(region->journal, 0, region->journalBytes);
        build(context, region);
        // Still holding the attach flock, so nobody can slip in between.
        if (flockRetrying(attach->tableFd, LOCK_SH) != 0) return fail(error, errno);
    }
    return true;
}

}  // namespace

bool openRegion(const char *directory, const char *name, size_t tableBytes, size_t journalBytes, BuildRegion build,
                void *context, SharedRegion *region, int *error) {
    *region = SharedRegion{};
    *error = 0;
    region->tableBytes = tableBytes;
    region->journalBytes = journalBytes;
    const std::string tableName(name);

    Attach attach;
    attach.tableBytes = tableBytes;
    attach.journalBytes = journalBytes;
    attach.lockBytes = pageRound(kLockHeader + journalBytes);
    attach.directoryFd = open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = attach.directoryFd >= 0 || fail(error, errno);
    ok = ok && (fstat(attach.directoryFd, &attach.directory) == 0 || fail(error, errno));
    // Whoever may write the directory may replace the objects in it.
    ok = ok && ((attach.directory.st_mode & S_IWOTH) == 0 || fail(error, EPERM));
    if (ok) attach.lockFd = openObject(attach.directoryFd, attach.directory, tableName + ".lock", error);
    ok = ok && attach.lockFd >= 0;
    ok = ok && (flockRetrying(attach.lockFd, LOCK_EX) == 0 || fail(error, errno));
    if (ok) {
        ok = attachLocked(tableName, build, context, &attach, region, error);
        flockRetrying(attach.lockFd, LOCK_UN);
    }
    if (attach.lockFd >= 0) close(attach.lockFd);
    attach.lockFd = -1;
    if (attach.directoryFd >= 0) close(attach.directoryFd);
    attach.directoryFd = -1;
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
