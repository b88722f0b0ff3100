#include "table/accessors.h"

#include "table/names.h"

namespace sorvik {
int32_t recordsInUse(const ProTable *table) {
    if (!table) return 0;
    const int32_t count = table->proCount;
    return count < 0 ? 0 : (count > kMaxRecords ? kMaxRecords : count);
}

int32_t recordCount(const ProTable *table) { return table ? table->proCount : 0; }

ProStru *recordAt(ProTable *table, int32_t index) {
    if (index < 0 || index >= recordsInUse(table)) return nullptr;
    return &table->records[index];
}

char *recordBaseName(ProStru *record) { return baseName(record->proName, sizeof record->proName); }

const char *recordBaseName(const ProStru *record) { return baseName(record->proName, sizeof record->proName); }

int32_t findByBaseName(const ProTable *table, const char *name, int32_t from) {
    if (!name) return -1;
    for (int32_t i = from < 0 ? 0 : from; i < recordsInUse(table); ++i) {
        const ProStru &record = table->records[i];
        const char *base = recordBaseName(&record);
        if (sameName(base, name, sizeof record.proName - static_cast<size_t>(base - record.proName))) return i;
    }
    return -1;
}

int32_t findByWholeName(const ProTable *table, const char *name) {
    if (!name) return -1;
    for (int32_t i = 0; i < recordsInUse(table); ++i)
        if (sameName(table->records[i].proName, name, sizeof table->records[i].proName)) return i;
    return -1;
}

}  // namespace sorvik
