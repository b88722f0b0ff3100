#include "census/snapshot.h"

#include <cstring>
#include <new>

#include "platform/platform.h"

namespace sorvik {
namespace {

bool addToSnapshot(void *context, uint32_t processId, const char *fileName, size_t length) {
    auto *tasks = static_cast<std::vector<Task> *>(context);
    Task task;
    if (taskNameOf(fileName, length, task.taskName)) {
        task.processId = processId;
        tasks->push_back(task);
    }
    return true;
}

struct ListFill {
    _TASK_LIST *list;
    int32_t count;
};

bool addToList(void *context, uint32_t processId, const char *fileName, size_t length) {
    auto *fill = static_cast<ListFill *>(context);
    _TASK_LIST &entry = fill->list[fill->count];
    if (taskNameOf(fileName, length, entry.taskName)) {
        entry.processId = processId;
        entry.window = 0;
        std::memset(entry.windowTitle, 0, sizeof entry.windowTitle);
        ++fill->count;
    }
    return fill->count < SORVIK_MAX_TASKS;
}

}  // namespace

bool taskNameOf(const char *fileName, size_t length, char taskName[sizeof(Task::taskName)]) {
    if (length > kMaxTaskName) return false;
    std::memcpy(taskName, fileName, length);
    taskName[length] = '\0';
    for (size_t i = length; i-- > 1;) {
        if (taskName[i] == '.') {
            taskName[i] = '\0';
            break;
        }
    }
    return true;
}

bool takeSnapshot(TaskSnapshot *snapshot, ProcessSource source) {
    snapshot->tasks.clear();
    snapshot->taken = false;
    try {
        snapshot->tasks.reserve(1024);
        snapshot->taken = source(addToSnapshot, &snapshot->tasks);
    } catch (const std::bad_alloc &) {
        snapshot->tasks.clear();
    }
    return snapshot->taken;
}

int32_t fillTaskList(_TASK_LIST *list, ProcessSource source) {
    ListFill fill{list, 0};
    if (!source(addToList, &fill)) return 0;
    return fill.count;
}

}  // namespace sorvik
