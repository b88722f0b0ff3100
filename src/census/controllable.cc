#include "census/controllable.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

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

// Names hashed and compared as the library compares them, A-Z folded, so
// that the views need no folded copy.
struct FoldedHash {
    size_t operator()(std::string_view name) const {
        size_t hash = 14695981039346656037u;  // FNV-1a
        for (char c : name) hash = (hash ^ foldCase(static_cast<unsigned char>(c))) * 1099511628211u;
        return hash;
    }
};
struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (foldCase(static_cast<unsigned char>(a[i])) != foldCase(static_cast<unsigned char>(b[i]))) return false;
        return true;
    }
};
using NameSet = std::unordered_set<std::string_view, FoldedHash, FoldedEqual>;

std::string_view fieldView(const char *field, size_t width) {
    const void *end = std::memchr(field, '\0', width);
    return std::string_view(field, end ? static_cast<size_t>(static_cast<const char *>(end) - field) : width);
}

// The baseNames of the records in use, viewed in the locked table. False
// when there was no memory for the set.
bool tableBaseNames(const ProTable *table, NameSet *names) {
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
    NameSet names;
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

}  // namespace sorvik
