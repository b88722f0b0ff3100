#include "census/controllable.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "census/folded_names.h"
#include "table/accessors.h"
#include "table/names.h"

namespace sorvik {
namespace {

struct Attach {
    _TASK_LIST *list;
    int32_t count;
};

void attachWindow(void *context, uint32_t window, uint32_t ownerProcessId, bool visible, const char *title) {
    auto *attach = static_cast<Attach *>(context);
    if (ownerProcessId == 0) return;
    for (int32_t i = 0; i < attach->count; ++i) {
        _TASK_LIST &entry = attach->list[i];
        if (entry.processId != ownerProcessId) continue;
        // Only the first entry of a process gets its windows; an invisible
        // window changes nothing, and a visible one without text leaves the
        // title an earlier window gave.
        if (visible) {
            entry.window = window;
            if (title && title[0] != '\0') copyBounded(entry.windowTitle, sizeof entry.windowTitle, title);
        }
        return;
    }
}

// The baseNames of the records in use, viewed in the locked table. False
// when there was no memory for the set.
bool tableBaseNames(const ProTable *table, FoldedNameSet *names) {
    try {
        const int32_t records = recordsInUse(table);
        names->reserve(static_cast<size_t>(records));
        for (int32_t i = 0; i < records; ++i) {
            const ProStru &record = table->records[i];
            const char *base = recordBaseName(&record);
            names->insert(fieldView(base, sizeof record.proName - static_cast<size_t>(base - record.proName)));
        }
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // namespace

int32_t keepControllable(const ProTable *table, TaskSnapshot *snapshot, _TASK_LIST *list) {
    std::vector<Task> &tasks = snapshot->tasks;
    // Runs under the table lock: one hash lookup per task, not a walk of the
    // table per task (bench/: 2000 tasks against 350 records took
    // milliseconds). Without memory for the set, the walk it is.
    FoldedNameSet names;
    if (tableBaseNames(table, &names))
        std::erase_if(tasks, [&names](const Task &task) {
            return !names.contains(fieldView(task.taskName, sizeof task.taskName));
        });
    else
        std::erase_if(tasks, [table](const Task &task) { return findByBaseName(table, task.taskName) < 0; });
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task &a, const Task &b) {
        return compareNames(a.taskName, b.taskName, sizeof a.taskName) < 0;
    });
    const int32_t count = tasks.size() > SORVIK_MAX_TASKS ? SORVIK_MAX_TASKS : static_cast<int32_t>(tasks.size());
    for (int32_t i = 0; i < count; ++i) {
        _TASK_LIST &entry = list[i];
        entry.processId = tasks[i].processId;
        std::memcpy(entry.taskName, tasks[i].taskName, sizeof entry.taskName);
        entry.window = 0;
        std::memset(entry.windowTitle, 0, sizeof entry.windowTitle);
    }
    return count;
}

void attachWindows(_TASK_LIST *list, int32_t count, WindowSource source) {
    for (int32_t i = 0; i < count; ++i) {
        list[i].window = 0;
        std::memset(list[i].windowTitle, 0, sizeof list[i].windowTitle);
    }
    // With nothing to attach to, the window system is not asked at all.
    if (count <= 0) return;
    Attach attach{list, count};
    source(attachWindow, &attach);
}

int32_t listControllable(Client *client, _TASK_LIST *list, ProcessSource processes, WindowSource windows) {
    if (!list) return 0;
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot, processes);
    int32_t count;
    {
        TableLock lock(client);
        count = keepControllable(lock.table(), &snapshot, list);
    }
    attachWindows(list, count, windows);
    return count;
}

}  // namespace sorvik
