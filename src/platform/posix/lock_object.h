// The table lock's shared object on POSIX: a robust process-shared mutex,
// and beside it a record of the thread that holds it, which lets a waiter
// tell a holder that has vanished from one that is merely slow, and lets a
// watcher name the holder. The journal follows at kLockHeader.
#ifndef SORVIK_PLATFORM_POSIX_LOCK_OBJECT_H
#define SORVIK_PLATFORM_POSIX_LOCK_OBJECT_H

#include <linux/futex.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sorvik::platform {

constexpr uint32_t kLockMagic = 0x536f724cu;  // "SorL"
constexpr size_t kLockHeader = 128;           // header, mutex and holder, then the journal

// Written only by the holder of the mutex, as a sequence lock: `sequence`
// is odd while the fields change.
struct HolderRecord {
    std::atomic<uint64_t> sequence;
    std::atomic<uint64_t> acquisitions;  // every holder adds one
    std::atomic<int32_t> processId;
    std::atomic<int32_t> threadId;       // the last holder; it holds the mutex only while the mutex names it
    std::atomic<uint64_t> threadStart;   // clock ticks since boot; 0 when unknown
    std::atomic<uint64_t> pidNamespace;  // the holder's identifiers are in this one; 0 when unknown
};

// The first fields are in the same place for every build, so that an attach
// can tell whether another build (another layout, other sizes, a 32-bit
// library beside a 64-bit one) wrote what it finds.
struct LockObject {
    std::atomic<uint32_t> magic;  // written last, once the rest holds
    uint32_t layout;
    uint64_t tableBytes;
    uint64_t journalBytes;
    pthread_mutex_t mutex;
    HolderRecord holder;
};
static_assert(sizeof(LockObject) <= kLockHeader, "the lock header holds the mutex and its holder");
// Changes whenever the header's layout or the mutex's size changes.
constexpr uint32_t kLockLayout = (2u << 16) | static_cast<uint32_t>(sizeof(LockObject));
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the record works across processes");

struct Holder {
    uint64_t acquisitions;
    int32_t processId;
    int32_t threadId;
    uint64_t threadStart;
    uint64_t pidNamespace;
};

// A consistent copy of the record; false when it kept changing.
inline bool readHolder(const LockObject *lock, Holder *out) {
    const HolderRecord &r = lock->holder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const uint64_t before = r.sequence.load(std::memory_order_acquire);
        if (before & 1) continue;
        out->acquisitions = r.acquisitions.load(std::memory_order_relaxed);
        out->processId = r.processId.load(std::memory_order_relaxed);
        out->threadId = r.threadId.load(std::memory_order_relaxed);
        out->threadStart = r.threadStart.load(std::memory_order_relaxed);
        out->pidNamespace = r.pidNamespace.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (r.sequence.load(std::memory_order_relaxed) == before) return true;
    }
    return false;
}

// The futex word inside the mutex: glibc keeps the owning thread's id in its
// low bits for a robust mutex, as the kernel's robust-list handling expects.
inline std::atomic_ref<int> futexWord(LockObject *lock) {
    return std::atomic_ref<int>(lock->mutex.__data.__lock);
}

// The thread that holds the mutex now, 0 when none.
inline int32_t owningThread(const LockObject *lock) {
    return std::atomic_ref<int>(const_cast<LockObject *>(lock)->mutex.__data.__lock).load() & FUTEX_TID_MASK;
}

}  // namespace sorvik::platform

#endif
