// What runs on the machine: process snapshots and the names tasks go by.
#ifndef SORVIK_CENSUS_SNAPSHOT_H
#define SORVIK_CENSUS_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "sorvik.h"

namespace sorvik {

constexpr size_t kMaxTaskName = 96;

struct Task {
    uint32_t processId;
    char taskName[sizeof(_TASK_LIST::taskName)];
};

// Every running process whose name fits a task list, in the platform's
// order. `taken` is false when no snapshot could be had.
struct TaskSnapshot {
    std::vector<Task> tasks;
    bool taken = false;
};

// The task name of an executable's file name, as the platform's process walk
// gives it: the name without its last extension (a leading '.' is no
// extension). False when the file name is longer than 96 characters.
bool taskNameOf(const char *fileName, size_t length, char taskName[sizeof(Task::taskName)]);

// Where processes come from: the platform's list, or a test's.
using ProcessSource = bool (*)(platform::ProcessVisitor visit, void *context);

// Takes a snapshot of every running process. False, with `taken` false,
// when the source had no list or no memory could be had for it.
bool takeSnapshot(TaskSnapshot *snapshot, ProcessSource source = platform::listProcesses);

// Fills at most SORVIK_MAX_TASKS entries of `list` from a fresh snapshot:
// processId and taskName, with window 0 and an empty windowTitle, so that no
// entry keeps what the caller's array held. The walk ends at the last entry
// there is room for. The number filled, 0 with `list` untouched on failure.
int32_t fillTaskList(_TASK_LIST *list, ProcessSource source = platform::listProcesses);

}  // namespace sorvik

#endif
