// Reading records by index, and finding them by name. All of these expect
// the table lock held; a null table reads as an empty one.
#ifndef SORVIK_TABLE_ACCESSORS_H
#define SORVIK_TABLE_ACCESSORS_H

#include "table/table.h"

namespace sorvik {

// The number of records: proCount as a bound that is safe to index with,
// whatever a client wrote into the shared table through the pointers it was
// handed. Callers are told this count, so every index below it they are
// told of reaches a record.
int32_t recordsInUse(const ProTable *table);
ProStru *recordAt(ProTable *table, int32_t index);  // null outside 0 .. recordsInUse - 1
char *recordBaseName(ProStru *record);
const char *recordBaseName(const ProStru *record);
// The fields a client reads by index: null or -1 outside 0 .. recordsInUse - 1.
char *baseNameAt(ProTable *table, int32_t index);
int32_t permitExeCountAt(ProTable *table, int32_t index);
int32_t minExeCountAt(ProTable *table, int32_t index);

// The first record at or after `from` whose baseName equals `name`; -1 if none.
int32_t findByBaseName(const ProTable *table, const char *name, int32_t from = 0);
// The first record whose whole proName equals `name`; -1 if none.
int32_t findByWholeName(const ProTable *table, const char *name);

}  // namespace sorvik

#endif
