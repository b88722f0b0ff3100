// The shared region on POSIX: two regular files in the site's run
// directory, NAME (the table) and NAME.lock (the lock object of
// lock_object.h, followed by the journal). Files in a directory of the
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
#include "platform/posix/lock_object.h"
#include "platform/posix/run_directory.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include <atomic>
#include <climits>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <new>
#include <string>

namespace sorvik::platform {

// The table's descriptor, whose shared flock marks this process as a user
// for as long as it is open, and the lock object's view, which the journal
// ends.
struct RegionState {
    int tableFd = -1;
    void *lockView = nullptr;
    size_t lockBytes = 0;
};

namespace {

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
        fd = openRunObject(directoryFd, name, O_RDWR);
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
    if (unused) {
        std::memset(region->journal, 0, region->journalBytes);
        // Given up, the objects are left to the next attach, which finds them
        // unused and builds them afresh.
        if (!build(context, region)) return fail(error, 0);
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
    auto *state = new (std::nothrow) RegionState;
    if (!state) return fail(error, ENOMEM);
    region->tableBytes = tableBytes;
    region->journalBytes = journalBytes;
    const std::string tableName(name);

    Attach attach;
    attach.tableBytes = tableBytes;
    attach.journalBytes = journalBytes;
    attach.lockBytes = pageRound(kLockHeader + journalBytes);
    attach.directoryFd = openRunDirectory(directory);
    bool ok = attach.directoryFd >= 0 || fail(error, errno);
    ok = ok && (fstat(attach.directoryFd, &attach.directory) == 0 || fail(error, errno));
    // Whoever may write the directory may replace the objects in it.
    ok = ok && ((attach.directory.st_mode & S_IWOTH) == 0 || fail(error, EPERM));
    if (ok) attach.lockFd = openObject(attach.directoryFd, attach.directory, lockObjectName(tableName), error);
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
        delete state;
        *region = SharedRegion{};
        return false;
    }
    state->tableFd = attach.tableFd;
    state->lockView = attach.lockView;
    state->lockBytes = attach.lockBytes;
    region->state = state;
    return true;
}

void closeRegion(SharedRegion *region) {
    if (RegionState *state = region->state) {
        if (region->table) munmap(region->table, region->tableBytes);
        munmap(state->lockView, state->lockBytes);
        close(state->tableFd);
        delete state;
    }
    *region = SharedRegion{};
}

namespace {

// How long a waiter waits before it looks whether the holder still exists.
constexpr long kHolderCheckNanoseconds = 200 * 1000 * 1000;

struct ThreadIdentity {
    pid_t processId = 0;
    pid_t threadId = 0;
    uint64_t start = 0;         // 0 when /proc cannot tell
    uint64_t pidNamespace = 0;  // 0 when /proc cannot tell
    uint32_t forks = 0;         // the process's forks when it was learnt
};

// A thread's state letter and start time from its /proc stat line; false
// when the thread does not exist. *known is false when /proc cannot be read
// for another reason, so that nothing may be concluded.
bool readThreadStat(const char *path, char *state, uint64_t *start, bool *known) {
    *known = true;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *known = errno == ENOENT || errno == ESRCH;
        return false;
    }
    char line[1024];
    const ssize_t got = read(fd, line, sizeof line - 1);
    const int readError = errno;
    close(fd);
    if (got <= 0) {
        *known = got == 0 || readError == ESRCH;  // a thread that ended between open and read
        return false;
    }
    line[got] = '\0';
    // The command name in parentheses may hold anything, ')' included.
    const char *fields = std::strrchr(line, ')');
    unsigned long long ticks = 0;
    // After the name: state (3), then fields 4..21, then starttime (22).
    if (!fields || std::sscanf(fields + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                               state, &ticks) != 2) {
        *known = false;
        return false;
    }
    *start = ticks;
    return true;
}

uint64_t pidNamespaceOfSelf() {
    struct stat st;
    if (stat("/proc/self/ns/pid", &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_ino) ^ (static_cast<uint64_t>(st.st_dev) << 32);
}

// Forks seen by this process, so that a forked child's thread, which has an
// id of its own, learns it afresh.
std::atomic<uint32_t> gForks{0};
void countFork() { gForks.fetch_add(1, std::memory_order_relaxed); }

// This thread's identity, learnt once per thread: every lock takes it, and
// asking the kernel for it each time would cost more than the call itself.
const ThreadIdentity &thisThread() {
    static const int forksCounted = pthread_atfork(nullptr, nullptr, countFork);
    (void)forksCounted;
    thread_local ThreadIdentity cached;
    const uint32_t forks = gForks.load(std::memory_order_relaxed);
    if (cached.threadId == 0 || cached.forks != forks) {
        cached = ThreadIdentity{};
        cached.forks = forks;
        cached.processId = getpid();
        cached.threadId = static_cast<pid_t>(syscall(SYS_gettid));
        char state = 0;
        bool known = false;
        uint64_t start = 0;
        if (readThreadStat("/proc/thread-self/stat", &state, &start, &known)) cached.start = start;
        cached.pidNamespace = pidNamespaceOfSelf();
    }
    return cached;
}

// Only the holder of the mutex writes. The record is not cleared when the
// mutex is released: it counts only while it names the thread the mutex
// names, and the next holder rewrites it.
void writeHolder(LockObject *lock, const ThreadIdentity &holder) {
    HolderRecord &r = lock->holder;
    const uint64_t sequence = r.sequence.load(std::memory_order_relaxed);
    r.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    r.acquisitions.store(r.acquisitions.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    r.processId.store(holder.processId, std::memory_order_relaxed);
    r.threadId.store(holder.threadId, std::memory_order_relaxed);
    r.threadStart.store(holder.start, std::memory_order_relaxed);
    r.pidNamespace.store(holder.pidNamespace, std::memory_order_relaxed);
    r.sequence.store(sequence + 2, std::memory_order_release);
}

// True only when the thread the record names is known to be gone: no such
// thread, an ended one, or another thread that reuses its id.
bool holderIsGone(const Holder &holder) {
    if (holder.threadId <= 0 || holder.threadStart == 0 || holder.pidNamespace == 0) return false;
    // Ids from another pid namespace name other threads here.
    if (holder.pidNamespace != thisThread().pidNamespace) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", holder.processId, holder.threadId);
    char state = 0;
    uint64_t start = 0;
    bool known = false;
    if (!readThreadStat(path, &state, &start, &known)) return known;
    return state == 'Z' || state == 'X' || start != holder.threadStart;
}

// Called when the mutex has been held for a while. A holder normally ends
// with the kernel marking the mutex, but not when its process had already
// let go of the mapping; then the mutex still names a thread that is gone.
// Such a mutex is marked here exactly as the kernel marks it, so that the
// next locker takes it with EOWNERDEAD and repairs the table. The mark is
// one compare-and-swap on the futex word, so of several waiters that find
// the holder gone only one marks it, and a mutex taken meanwhile by a live
// thread is left alone.
void markVanishedHolder(LockObject *lock) {
    std::atomic_ref<int> word = futexWord(lock);
    int seen = word.load();
    const int32_t owner = seen & FUTEX_TID_MASK;
    if (owner == 0 || (seen & FUTEX_OWNER_DIED) != 0) return;
    Holder holder;
    if (!readHolder(lock, &holder) || holder.threadId != owner || !holderIsGone(holder)) return;
    if (!word.compare_exchange_strong(seen, (seen & FUTEX_WAITERS) | FUTEX_OWNER_DIED)) return;
    syscall(SYS_futex, &lock->mutex.__data.__lock, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

LockResult lockRegion(SharedRegion *region) {
    if (!region->state) return LockResult::failed;
    auto *lock = static_cast<LockObject *>(region->state->lockView);
    // Learnt before the lock is taken, so that holding it costs no system call.
    const ThreadIdentity &me = thisThread();
    int result = pthread_mutex_trylock(&lock->mutex);
    [[maybe_unused]] const bool waited = result == EBUSY;
    while (result == EBUSY) {
        // The wall clock rather than a steady one, since ThreadSanitizer
        // knows pthread_mutex_timedlock and not pthread_mutex_clocklock; a
        // jump of the clock only moves the next look at the holder.
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += kHolderCheckNanoseconds;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        result = pthread_mutex_timedlock(&lock->mutex, &deadline);
        if (result == ETIMEDOUT) {
            markVanishedHolder(lock);
            result = EBUSY;
        }
    }
    if (result != 0 && result != EOWNERDEAD) return LockResult::failed;
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer counts a timed acquisition only when it answers 0.
    if (result == EOWNERDEAD && waited) {
        __tsan_mutex_pre_lock(&lock->mutex, 0);
        __tsan_mutex_post_lock(&lock->mutex, 0, 0);
    }
#endif
    if (result == EOWNERDEAD) pthread_mutex_consistent(&lock->mutex);
    writeHolder(lock, me);
    return result == 0 ? LockResult::acquired : LockResult::ownerDied;
}

void unlockRegion(SharedRegion *region) {
    pthread_mutex_unlock(&static_cast<LockObject *>(region->state->lockView)->mutex);
}

}  // namespace sorvik::platform
