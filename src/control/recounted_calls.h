// The calls keyed by a program's name that act on its record with the
// running copies just recounted: the three questions and the administration
// calls. Counting the processes is slow, so it is done outside the table
// lock; the record is then found again under the lock, since another process
// may have changed the table in between.
#ifndef SORVIK_CONTROL_RECOUNTED_CALLS_H
#define SORVIK_CONTROL_RECOUNTED_CALLS_H

#include "census/snapshot.h"
#include "table/administration.h"
#include "table/table.h"

namespace sorvik {

struct RecountedCall {
    enum Kind {
        canExecute,     // 1 when no record has the name
        isExecuting,    // 0 when no record has the name
        mustReExecute,  // 0 when no record has the name
        add,            // found by whole name; appends a record when none has it
        modify,         // the two limits of `settings`
        remove,
    };
    Kind kind;
    const char *name;
    RecordSettings settings{};  // add: all four; modify: the limits
};

// Under the table lock, with `snapshot` taken before the lock was: finds the
// call's record (the first by baseName, or by whole name for an addition),
// recounts its running copies from the snapshot and answers the call.
int32_t actOnRecounted(Client *client, ProTable *table, const RecountedCall &call, const TaskSnapshot &snapshot);

// The whole call as a process makes it: takes the lock, and when a record
// has the name, a snapshot from `source` taken without the lock, then
// actOnRecounted under the lock. A name no record holds is answered without
// any snapshot. A client without a table answers as one whose library could
// not be loaded: no to every question; no change (kNoRecord) with errno set
// to why the table could not be attached.
int32_t runRecounted(Client *client, const RecountedCall &call, ProcessSource source = platform::listProcesses);

}  // namespace sorvik

#endif
