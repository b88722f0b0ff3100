// The running processes whose programs the table holds, with their windows.
#ifndef SORVIK_CENSUS_CONTROLLABLE_H
#define SORVIK_CENSUS_CONTROLLABLE_H

#include <cstdint>

#include "census/snapshot.h"
#include "platform/platform.h"
#include "table/table.h"

namespace sorvik {

// Where top-level windows come from: the window system's, or a test's.
using WindowSource = bool (*)(platform::WindowVisitor visit, void *context);

// Reduces `snapshot` to the tasks whose name equals the baseName of some
// record in use, sorted by name with the library's comparison (tasks of one
// name keep their snapshot order), and writes the first SORVIK_MAX_TASKS of
// them into `list`: processId and taskName, with window 0 and an empty
// windowTitle, so that no entry keeps what the caller's array held. The
// number written. Expects the table lock held; the snapshot is every running
// process, taken before the lock.
int32_t keepControllable(const ProTable *table, TaskSnapshot *snapshot, _TASK_LIST *list);

// Gives entries 0 .. count - 1 of `list` their windows, walking every
// top-level window in the window system's order and attaching each to the
// first entry of its owner's process: a visible window sets `window`, and one
// with text also sets `windowTitle`. So an entry ends with its process's last
// visible window and the text of the last visible window that had any; a
// process with no visible window keeps window 0 and an empty title. Touches
// no shared state: run it without the lock, since the window system is slow.
void attachWindows(_TASK_LIST *list, int32_t count, WindowSource source = platform::listWindows);

// The whole list for the client's table: a snapshot of `processes` taken
// before the lock, keepControllable under it, and the windows of `windows`
// after it. 0 for a null list.
int32_t listControllable(Client *client, _TASK_LIST *list, ProcessSource processes = platform::listProcesses,
                         WindowSource windows = platform::listWindows);

}  // namespace sorvik

#endif
