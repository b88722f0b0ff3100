#include "control/recounted_calls.h"

#include "census/recount.h"
#include "control/admission.h"
#include "table/accessors.h"

namespace sorvik {
namespace {

bool byWholeName(const RecountedCall &call) { return call.kind == RecountedCall::add; }

int32_t find(const ProTable *table, const RecountedCall &call) {
    return byWholeName(call) ? findByWholeName(table, call.name) : findByBaseName(table, call.name);
}

int32_t detached(const Client *client, const RecountedCall &call) {
    switch (call.kind) {
        case RecountedCall::canExecute:
        case RecountedCall::isExecuting:
        case RecountedCall::mustReExecute:
            return 0;
        case RecountedCall::add:
        case RecountedCall::modify:
        case RecountedCall::remove:
            break;
    }
    if (client->attachError != 0) platform::setErrno(client->attachError);
    return kNoRecord;
}

int32_t answer(bool yes) { return yes ? 1 : 0; }

// `index` is the call's record, recounted, or -1 when none has the name.
int32_t act(Client *client, ProTable *table, const RecountedCall &call, int32_t index) {
    const ProStru *record = index < 0 ? nullptr : &table->records[index];
    switch (call.kind) {
        case RecountedCall::canExecute:
            return record ? answer(canExecute(*record)) : 1;
        case RecountedCall::isExecuting:
            return record ? answer(isExecuting(*record)) : 0;
        case RecountedCall::mustReExecute:
            return record ? answer(mustReExecute(*record)) : 0;
        case RecountedCall::add:
            return record ? updateRecord(client, table, index, call.settings)
                          : appendRecord(client, table, call.name, call.settings);
        case RecountedCall::modify:
            return record ? changeLimits(client, table, index, call.settings.minExeCount,
                                         call.settings.permitExeCount)
                          : kNoRecord;
        case RecountedCall::remove:
            return record ? deleteRecord(client, table, index) : kNoRecord;
    }
    return kNoRecord;
}

}  // namespace

int32_t actOnRecounted(Client *client, ProTable *table, const RecountedCall &call, const TaskSnapshot &snapshot) {
    const int32_t index = find(table, call);
    if (index >= 0) recountOne(table, index, snapshot);
    return act(client, table, call, index);
}

int32_t runRecounted(Client *client, const RecountedCall &call, ProcessSource source) {
    {
        TableLock lock(client);
        if (!lock.table()) return detached(client, call);
        if (find(lock.table(), call) < 0) return act(client, lock.table(), call, -1);
    }
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot, source);
    TableLock lock(client);
    if (!lock.table()) return detached(client, call);
    return actOnRecounted(client, lock.table(), call, snapshot);
}

}  // namespace sorvik
