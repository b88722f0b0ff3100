// Recounting the running copies of controlled programs. Both expect the
// table lock held and a snapshot taken before it was taken.
#ifndef SORVIK_CENSUS_RECOUNT_H
#define SORVIK_CENSUS_RECOUNT_H

#include "census/snapshot.h"
#include "table/table.h"

namespace sorvik {

// Sets record `index`'s exeCount to the number of tasks whose name equals
// its whole proName (so a proName with a directory part counts 0). A failed
// snapshot counts 0.
void recountOne(ProTable *table, int32_t index, const TaskSnapshot &snapshot);

// Sets every record's exeCount to the number of tasks whose name equals its
// baseName. The number of tasks in the snapshot, at most SORVIK_MAX_TASKS;
// 0, with no record changed, when no memory could be had for the count.
int32_t recountAll(ProTable *table, const TaskSnapshot &snapshot);

// recountAll on the client's table, from a snapshot of `source` taken before
// the lock; the snapshot is slow and the lock is never held across it.
int32_t recountAll(Client *client, ProcessSource source = platform::listProcesses);

}  // namespace sorvik

#endif
