#include "table/administration.h"

#include <cstring>

#include "table/accessors.h"
#include "platform/platform.h"
#include "table/config_file.h"
#include "table/names.h"

namespace sorvik {
namespace {

// A change is complete in the table before the save begins, so a save that
// fails (or a process that dies while saving) leaves the change in the
// table, to reach the file with the next save that succeeds. A table that
// could not be loaded from its file never replaces it: the file still holds
// the records the table lacks.
int32_t save(Client *client, const ProTable &table) {
    int error = client->journal ? client->journal->loadError : 0;
    if (error == 0 && saveTable(client->configPath, table, &error)) return kDone;
    platform::setErrno(error);
    return kNotSaved;
}

void applySettings(ProStru *record, const RecordSettings &settings) {
    record->minExeCount = settings.minExeCount;
    record->permitExeCount = settings.permitExeCount;
    record->userParamA = settings.userParamA;
    record->userParamB = settings.userParamB;
    record->activeTime = 0;
    record->presetValue = kPresetValue;
}

bool contradictsRunning(int32_t permitExeCount, int32_t exeCount) {
    return exeCount > 0 && permitExeCount < exeCount;
}

}  // namespace

int32_t updateRecord(Client *client, ProTable *table, int32_t index, const RecordSettings &settings) {
    ProStru &record = table->records[index];
    if (contradictsRunning(settings.permitExeCount, record.exeCount)) return kCopiesRun;
    beginChange(client);
    applySettings(&record, settings);
    endChange(client);
    return save(client, *table);
}

int32_t appendRecord(Client *client, ProTable *table, const char *name, const RecordSettings &settings) {
    if (!table || !storableName(name)) return kNoRecord;
    const int32_t count = recordsInUse(table);
    if (count >= kMaxRecords) return kNoRecord;
    ProStru &record = table->records[count];
    beginChange(client);
    copyBounded(record.proName, sizeof record.proName, name);
    applySettings(&record, settings);
    record.exeCount = 0;
    table->proCount = count + 1;
    endChange(client);
    return save(client, *table);
}

int32_t changeLimits(Client *client, ProTable *table, int32_t index, int32_t minExeCount, int32_t permitExeCount) {
    ProStru &record = table->records[index];
    if (contradictsRunning(permitExeCount, record.exeCount)) return kCopiesRun;
    beginChange(client);
    record.minExeCount = minExeCount;
    record.permitExeCount = permitExeCount;
    endChange(client);
    return save(client, *table);
}

int32_t deleteRecord(Client *client, ProTable *table, int32_t index) {
    if (table->records[index].exeCount > 0) return kCopiesRun;
    const int32_t count = recordsInUse(table);
    beginChange(client);
    // The slot that falls out of use keeps a copy of the record that moved
    // out of it.
    std::memmove(&table->records[index], &table->records[index + 1],
                 sizeof(ProStru) * static_cast<size_t>(count - 1 - index));
    table->proCount = count - 1;
    endChange(client);
    return save(client, *table);
}

}  // namespace sorvik
