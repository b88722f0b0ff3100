// Counters that the stress clients of one test share through a file that
// each maps: how many slots of each record are held at this moment, by
// every process together, as the clients themselves saw their logins.
#ifndef SORVIK_TESTS_SUPPORT_STRESS_BOARD_H
#define SORVIK_TESTS_SUPPORT_STRESS_BOARD_H

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace sorvik::test {

constexpr size_t kBoardSlots = 8;

struct StressBoard {
    std::atomic<int> held[kBoardSlots];
    std::atomic<int> overbooked;  // times a client saw more slots held than permitted
};
static_assert(std::atomic<int>::is_always_lock_free, "the counters work across processes");

// Maps the board kept in the file at `path`, creating it zero-filled; null
// when that fails. The mapping lasts as long as the process.
inline StressBoard *mapStressBoard(const char *path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    void *view = nullptr;
    if (ftruncate(fd, sizeof(StressBoard)) == 0)
        view = mmap(nullptr, sizeof(StressBoard), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return view == MAP_FAILED ? nullptr : static_cast<StressBoard *>(view);
}

}  // namespace sorvik::test

#endif
