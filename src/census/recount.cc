#include "census/recount.h"

#include <new>

#include "census/folded_names.h"
#include "table/accessors.h"
#include "table/names.h"

namespace sorvik {

void recountOne(ProTable *table, int32_t index, const TaskSnapshot &snapshot) {
    ProStru &record = table->records[index];
    int32_t count = 0;
    for (const Task &task : snapshot.tasks)
        if (sameName(record.proName, task.taskName, sizeof record.proName)) ++count;
    // One store: no other process ever sees a count half made.
    record.exeCount = count;
}

int32_t recountAll(ProTable *table, const TaskSnapshot &snapshot) {
    // Each name is hashed once, folded where it lies, and counted through a
    // hash table, so the cost is one pass over the tasks and one over the
    // records. Every count is made before any is stored, so running out of
    // memory changes nothing.
    const int32_t records = recordsInUse(table);
    int32_t copies[kMaxRecords];
    try {
        FoldedNameCounts running;
        running.reserve(snapshot.tasks.size());
        for (const Task &task : snapshot.tasks) ++running[fieldView(task.taskName, sizeof task.taskName)];
        for (int32_t i = 0; i < records; ++i) {
            const ProStru &record = table->records[i];
            const char *base = recordBaseName(&record);
            const auto found = running.find(fieldView(base, sizeof record.proName - static_cast<size_t>(base - record.proName)));
            copies[i] = found == running.end() ? 0 : found->second;
        }
    } catch (const std::bad_alloc &) {
        return 0;
    }
    for (int32_t i = 0; i < records; ++i) table->records[i].exeCount = copies[i];
    const size_t tasks = snapshot.tasks.size();
    return tasks > SORVIK_MAX_TASKS ? SORVIK_MAX_TASKS : static_cast<int32_t>(tasks);
}

int32_t recountAll(Client *client, ProcessSource source) {
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot, source);
    TableLock lock(client);
    return recountAll(lock.table(), snapshot);
}

}  // namespace sorvik
