// Adding, changing and deleting records. Each expects the table lock held
// and, where it acts on a found record, that record just recounted; each
// answers one of the result codes below and saves the table when it changed
// it.
#ifndef SORVIK_TABLE_ADMINISTRATION_H
#define SORVIK_TABLE_ADMINISTRATION_H

#include "table/table.h"

namespace sorvik {

// The results of the administration calls, as include/sorvik.h defines them.
constexpr int32_t kDone = SORVIK_DONE;
constexpr int32_t kCopiesRun = SORVIK_COPIES_RUN;
constexpr int32_t kNoRecord = SORVIK_NO_RECORD;
constexpr int32_t kNotSaved = SORVIK_NOT_SAVED;

struct RecordSettings {
    int32_t minExeCount;
    int32_t permitExeCount;
    int32_t userParamA;
    int32_t userParamB;
};

// A change of limits is refused only when copies of the program run that
// the new permit does not allow. A negative permit allows no copy, as 0
// does: with none running it is accepted, like any other.

// Overwrites the settings of record `index` (found by whole proName); 1 when
// its recounted copies exceed the new permit.
int32_t updateRecord(Client *client, ProTable *table, int32_t index, const RecordSettings &settings);

// Appends a record named `name`; 2 when the table is full or the name is
// not storableName.
int32_t appendRecord(Client *client, ProTable *table, const char *name, const RecordSettings &settings);

// Sets the two limits of record `index`; 1 when its recounted copies exceed
// the new permit.
int32_t changeLimits(Client *client, ProTable *table, int32_t index, int32_t minExeCount, int32_t permitExeCount);

// Deletes record `index`, moving the later ones down; 1 when copies run.
int32_t deleteRecord(Client *client, ProTable *table, int32_t index);

}  // namespace sorvik

#endif
