// The exported boundary: every exported call takes the table lock here, and
// only here, and hands the locked table to the subsystem that answers it.
#include "library.h"

#include "census/controllable.h"
#include "census/recount.h"
#include "census/snapshot.h"
#include "control/admission.h"
#include "control/liveness.h"
#include "table/accessors.h"
#include "table/administration.h"

namespace sorvik {
namespace {

Client gClient;

using Finder = int32_t (*)(const ProTable *table, const char *name);

// A process without the table answers as one whose library could not be
// loaded, never as an empty table that lets everything run: no to every
// question, no slot, and no change, with errno telling why.
int32_t no() { return 0; }

int32_t noChange() {
    if (processClient()->attachError != 0) platform::setErrno(processClient()->attachError);
    return kNoRecord;
}

int32_t findByBase(const ProTable *table, const char *name) { return findByBaseName(table, name); }

// Runs `act` under the lock on the record that `find` gives for `name`,
// recounted from a snapshot taken before the lock: the snapshot is slow and
// the lock is never held across it. `act` gets -1 when no record matches,
// and no snapshot is taken for a name that no record holds; `detached`
// answers instead when this process has no table.
template <typename Act>
int32_t withRecountedRecord(const char *name, Finder find, int32_t (*detached)(), Act act) {
    Client *client = processClient();
    {
        TableLock lock(client);
        if (!lock.table()) return detached();
        if (find(lock.table(), name) < 0) return act(client, lock.table(), -1);
    }
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot);
    TableLock lock(client);
    ProTable *table = lock.table();
    if (!table) return detached();
    const int32_t index = find(table, name);
    if (index >= 0) recountOne(table, index, snapshot);
    return act(client, table, index);
}

// One of the three questions: `answer` for the recounted first record whose
// baseName is `name`, `unknown` when there is none.
int32_t ask(const char *name, bool (*answer)(const ProStru &), int32_t unknown) {
    return withRecountedRecord(name, findByBase, no, [&](Client *, ProTable *table, int32_t index) {
        return index < 0 ? unknown : static_cast<int32_t>(answer(table->records[index]));
    });
}

}  // namespace

Client *processClient() { return &gClient; }

bool onProcessAttach() { return attach(&gClient, kBuildSite); }

void onProcessDetach(bool processEnding) {
    // At the end of the process the system drops the attachment itself, and
    // releasing it could pull the region from under a call another thread
    // is still making.
    if (!processEnding) detach(&gClient);
}

void onProcessForked() { forgetParentCalls(&gClient); }

}  // namespace sorvik

using namespace sorvik;

extern "C" {

int32_t SORVIK_CALL GetControllableProcessNum(void) {
    TableLock lock(processClient());
    return recordCount(lock.table());
}

ProStru *SORVIK_CALL GetProcessStruAt(int32_t index) {
    TableLock lock(processClient());
    return recordAt(lock.table(), index);
}

char *SORVIK_CALL GetProcessNameAt(int32_t index) {
    TableLock lock(processClient());
    ProStru *record = recordAt(lock.table(), index);
    return record ? recordBaseName(record) : nullptr;
}

int32_t SORVIK_CALL GetProcessPermitExeCountAt(int32_t index) {
    TableLock lock(processClient());
    const ProStru *record = recordAt(lock.table(), index);
    return record ? record->permitExeCount : -1;
}

int32_t SORVIK_CALL GetProcessMinExeCountAt(int32_t index) {
    TableLock lock(processClient());
    const ProStru *record = recordAt(lock.table(), index);
    return record ? record->minExeCount : -1;
}

int32_t SORVIK_CALL GetTaskList(_TASK_LIST *list) {
    if (!list) return 0;
    // Reads nothing shared, so it needs no lock.
    return fillTaskList(list);
}

int32_t SORVIK_CALL GetControllableTaskList(_TASK_LIST *list) {
    if (!list) return 0;
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot);
    int32_t count;
    {
        TableLock lock(processClient());
        count = keepControllable(lock.table(), &snapshot, list);
    }
    attachWindows(list, count);
    return count;
}

int32_t SORVIK_CALL RefreshAllSorvikStr(void) {
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot);
    TableLock lock(processClient());
    return recountAll(lock.table(), snapshot);
}

int32_t SORVIK_CALL processLogIn(const char *name) {
    Client *client = processClient();
    TableLock lock(client);
    return lock.table() ? logIn(client, lock.table(), name) : no();
}

int32_t SORVIK_CALL processLogOut(const char *name) {
    Client *client = processClient();
    TableLock lock(client);
    return lock.table() ? logOut(client, lock.table(), name) : no();
}

int32_t SORVIK_CALL processCanExecute(const char *name) { return ask(name, canExecute, 1); }

int32_t SORVIK_CALL processIsExecuting(const char *name) { return ask(name, isExecuting, 0); }

int32_t SORVIK_CALL IsProcessMustReExecute(const char *name) { return ask(name, mustReExecute, 0); }

int32_t SORVIK_CALL addOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount, int32_t userParamA,
                                  int32_t userParamB) {
    const RecordSettings settings{minExeCount, permitExeCount, userParamA, userParamB};
    return withRecountedRecord(name, findByWholeName, noChange, [&](Client *client, ProTable *table, int32_t index) {
        return index < 0 ? appendRecord(client, table, name, settings) : updateRecord(client, table, index, settings);
    });
}

int32_t SORVIK_CALL ModifyOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount) {
    return withRecountedRecord(name, findByBase, noChange, [&](Client *client, ProTable *table, int32_t index) {
        return index < 0 ? int32_t{kNoRecord} : changeLimits(client, table, index, minExeCount, permitExeCount);
    });
}

int32_t SORVIK_CALL DeleteOneProcess(const char *name) {
    return withRecountedRecord(name, findByBase, noChange, [&](Client *client, ProTable *table, int32_t index) {
        return index < 0 ? int32_t{kNoRecord} : deleteRecord(client, table, index);
    });
}

int32_t SORVIK_CALL processActive(const char *name) {
    Client *client = processClient();
    TableLock lock(client);
    stampActive(client, lock.table(), name);
    return 1;
}

int32_t SORVIK_CALL processMsg(const char *name, const char *text) {
    Client *client = processClient();
    TableLock lock(client);
    leaveMessage(client, lock.table(), name, text);
    return 1;
}

int32_t SORVIK_CALL processMsgReset(const char *name) {
    Client *client = processClient();
    TableLock lock(client);
    resetRunState(client, lock.table(), name);
    return 1;
}

}  // extern "C"
