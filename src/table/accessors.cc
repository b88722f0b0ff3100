#include "table/accessors.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "table/names.h"

namespace sorvik {
int32_t recordsInUse(const ProTable *table) {
    if (!table) return 0;
    const int32_t count = table->proCount;
    return count < 0 ? 0 : (count > kMaxRecords ? kMaxRecords : count);
}

ProStru *recordAt(ProTable *table, int32_t index) {
    if (index < 0 || index >= recordsInUse(table)) return nullptr;
    return &table->records[index];
}

char *recordBaseName(ProStru *record) { return baseName(record->proName, sizeof record->proName); }

const char *recordBaseName(const ProStru *record) { return baseName(record->proName, sizeof record->proName); }

char *baseNameAt(ProTable *table, int32_t index) {
    ProStru *record = recordAt(table, index);
    return record ? recordBaseName(record) : nullptr;
}

int32_t permitExeCountAt(ProTable *table, int32_t index) {
    const ProStru *record = recordAt(table, index);
    return record ? record->permitExeCount : -1;
}

int32_t minExeCountAt(ProTable *table, int32_t index) {
    const ProStru *record = recordAt(table, index);
    return record ? record->minExeCount : -1;
}

namespace {

// The length of a proName field, at most its width when a careless client
// left it unterminated. Eight bytes a step: most names end in the first two.
size_t fieldLength(const char *field) {
    constexpr size_t width = sizeof(ProStru::proName);
    constexpr uint64_t ones = 0x0101010101010101u;
    constexpr uint64_t highs = 0x8080808080808080u;
    size_t at = 0;
    for (; at + sizeof(uint64_t) <= width; at += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, field + at, sizeof word);
        const uint64_t zeros = (word - ones) & ~word & highs;
        if (zeros == 0) continue;
        // Only the lowest flagged byte is sure to be a zero, and it is the
        // first in memory on a little-endian machine.
        if constexpr (std::endian::native == std::endian::little)
            return at + static_cast<size_t>(std::countr_zero(zeros)) / 8;
        break;
    }
    while (at < width && field[at] != '\0') ++at;
    return at;
}

}  // namespace

int32_t findByBaseName(const ProTable *table, const char *name, int32_t from) {
    // Every slot call walks the table with this, so a record costs one
    // length scan and a look at one or two bytes: the baseName equals `name`
    // exactly when the proName ends in it right after a backslash or at its
    // start. A name with a backslash is no baseName and matches nothing.
    if (!name) return -1;
    size_t length = 0;
    for (; name[length] != '\0'; ++length)
        if (name[length] == '\\' || length == sizeof(ProStru::proName)) return -1;
    const int32_t records = recordsInUse(table);
    for (int32_t i = from < 0 ? 0 : from; i < records; ++i) {
        const char *proName = table->records[i].proName;
        const size_t end = fieldLength(proName);
        if (end < length) continue;
        const char *tail = proName + end - length;
        if (tail != proName && tail[-1] != '\\') continue;
        if (sameFolded({tail, length}, {name, length})) return i;
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
