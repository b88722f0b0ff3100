#include "table/config_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "table/accessors.h"
#include "table/names.h"

namespace sorvik {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Walks the text as formatted input does: white space between values is
// skipped, a name is a run of other characters, and a number ends at the
// first character that cannot continue it, which then begins the next value.
struct Scanner {
    const char *at;
    const char *end;

    void skipSpace() {
        while (at < end && isSeparator(*at)) ++at;
    }

    // The next run of non-space characters; false at the end of the text.
    bool word(const char **start, size_t *length) {
        skipSpace();
        if (at == end) return false;
        *start = at;
        while (at < end && !isSeparator(*at)) ++at;
        *length = static_cast<size_t>(at - *start);
        return true;
    }

    // An optional sign and decimal digits. A sign without digits is used up
    // and the conversion fails, as it does in formatted input. Values beyond
    // 32 bits stop at the nearest bound.
    bool number(int32_t *value) {
        skipSpace();
        if (at == end) return false;
        bool negative = false;
        if (*at == '+' || *at == '-') {
            negative = *at == '-';
            ++at;
        }
        if (at == end || !isDigit(*at)) return false;
        int64_t magnitude = 0;
        for (; at < end && isDigit(*at); ++at)
            if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*at - '0');
        if (negative) magnitude = -magnitude;
        if (magnitude > INT32_MAX) magnitude = INT32_MAX;
        if (magnitude < INT32_MIN) magnitude = INT32_MIN;
        *value = static_cast<int32_t>(magnitude);
        return true;
    }
};

}  // namespace

void parseConfig(const char *text, size_t size, ProTable *table) {
    Scanner scan{text, text + size};
    int32_t count = 0;
    while (count < kMaxRecords) {
        const char *name;
        size_t length;
        // The saver's own rule, so that whatever it wrote reads back: a NUL
        // byte, for one, would end the stored name early, leaving a record
        // that saves as something else (an empty name shifts every value).
        if (!scan.word(&name, &length) || readBackFault({name, length}) != NameFault::none) break;
        int32_t minimum, permit, paramA, paramB = 0;
        if (!scan.number(&minimum) || !scan.number(&permit) || !scan.number(&paramA)) break;
        // The fifth value is optional: whatever stands there instead begins
        // the next entry.
        if (!scan.number(&paramB)) paramB = 0;
        ProStru &record = table->records[count];
        std::memcpy(record.proName, name, length);
        record.proName[length] = '\0';
        record.minExeCount = minimum;
        record.permitExeCount = permit;
        record.userParamA = paramA;
        record.userParamB = paramB;
        ++count;
    }
    table->proCount = count;
}

std::string formatConfig(const ProTable &table) {
    // The count as a bound: clients can write any proCount into the table.
    const int32_t records = recordsInUse(&table);
    std::string text;
    text.reserve(static_cast<size_t>(records) * 48);
    char line[sizeof(ProStru::proName) + 64];
    for (int32_t i = 0; i < records; ++i) {
        const ProStru &r = table.records[i];
        const int length = std::snprintf(line, sizeof line, "%.*s    %d\t%d   %d   %d\r\n",
                                         static_cast<int>(strnlen(r.proName, sizeof r.proName)), r.proName,
                                         r.minExeCount, r.permitExeCount, r.userParamA, r.userParamB);
        text.append(line, static_cast<size_t>(length));
    }
    return text;
}

int loadConfig(const char *path, ProTable *table) {
    // 350 entries never need more; the bound keeps a stray huge file from
    // exhausting the memory of the process that happens to load first.
    constexpr size_t kMaxRead = 16u << 20;
    std::string text;
    int error = 0;
    switch (platform::readFile(path, kMaxRead, &text, &error)) {
        case platform::ReadResult::read:
            parseConfig(text.data(), text.size(), table);
            return 0;
        case platform::ReadResult::absent:
            return 0;
        case platform::ReadResult::failed:
            break;
    }
    return error != 0 ? error : platform::invalidDataError();
}

bool saveTable(const char *path, const ProTable &table, int *error) {
    const int32_t records = recordsInUse(&table);
    for (int32_t i = 0; i < records; ++i) {
        const ProStru &record = table.records[i];
        if (readBackFault(fieldView(record.proName, sizeof record.proName)) != NameFault::none) {
            if (error) *error = platform::invalidDataError();
            return false;
        }
    }
    const std::string text = formatConfig(table);
    return platform::replaceFile(path, text.data(), text.size(), error);
}

}  // namespace sorvik
