// The exported boundary: every exported call takes the process's attachment
// here, and only here, and hands it to the subsystem that answers it, under
// the table lock. The calls that count processes take the lock themselves,
// since the count is slow and the lock is never held across it.
#include "library.h"

#include "census/controllable.h"
#include "census/recount.h"
#include "census/snapshot.h"
#include "control/admission.h"
#include "control/liveness.h"
#include "control/recounted_calls.h"
#include "table/accessors.h"

namespace sorvik {
namespace {

Client gClient;

// A process without the table answers a login or logout as one whose library
// could not be loaded, never as an empty table that lets everything run.
int32_t slotCall(int32_t (*call)(Client *, ProTable *, const char *), const char *name) {
    Client *client = processClient();
    TableLock lock(client);
    return lock.table() ? call(client, lock.table(), name) : 0;
}

int32_t recounted(RecountedCall::Kind kind, const char *name, const RecordSettings &settings = {}) {
    return runRecounted(processClient(), {kind, name, settings});
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
    return recordsInUse(lock.table());
}

ProStru *SORVIK_CALL GetProcessStruAt(int32_t index) {
    TableLock lock(processClient());
    return recordAt(lock.table(), index);
}

char *SORVIK_CALL GetProcessNameAt(int32_t index) {
    TableLock lock(processClient());
    return baseNameAt(lock.table(), index);
}

int32_t SORVIK_CALL GetProcessPermitExeCountAt(int32_t index) {
    TableLock lock(processClient());
    return permitExeCountAt(lock.table(), index);
}

int32_t SORVIK_CALL GetProcessMinExeCountAt(int32_t index) {
    TableLock lock(processClient());
    return minExeCountAt(lock.table(), index);
}

// Reads nothing shared, so it needs no lock.
int32_t SORVIK_CALL GetTaskList(_TASK_LIST *list) { return list ? fillTaskList(list) : 0; }

int32_t SORVIK_CALL GetControllableTaskList(_TASK_LIST *list) { return listControllable(processClient(), list); }

int32_t SORVIK_CALL RefreshAllSorvikStr(void) { return recountAll(processClient()); }

int32_t SORVIK_CALL processLogIn(const char *name) { return slotCall(logIn, name); }

int32_t SORVIK_CALL processLogOut(const char *name) { return slotCall(logOut, name); }

int32_t SORVIK_CALL processCanExecute(const char *name) { return recounted(RecountedCall::canExecute, name); }

int32_t SORVIK_CALL processIsExecuting(const char *name) { return recounted(RecountedCall::isExecuting, name); }

int32_t SORVIK_CALL IsProcessMustReExecute(const char *name) { return recounted(RecountedCall::mustReExecute, name); }

int32_t SORVIK_CALL addOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount, int32_t userParamA,
                                  int32_t userParamB) {
    return recounted(RecountedCall::add, name, {minExeCount, permitExeCount, userParamA, userParamB});
}

int32_t SORVIK_CALL ModifyOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount) {
    return recounted(RecountedCall::modify, name, {minExeCount, permitExeCount, 0, 0});
}

int32_t SORVIK_CALL DeleteOneProcess(const char *name) { return recounted(RecountedCall::remove, name); }

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
