#include <cstring>
#include <memory>

#include "cases.h"
#include "table/config_file.h"

namespace sorvik::fuzz {

std::string checkConfigReader(const uint8_t *data, size_t size) {
    // On the heap and exactly its size, so that a write past the table is
    // caught by the address sanitizer.
    auto table = std::make_unique<ProTable>();
    const uint8_t host[4] = {10, 1, 2, 3};
    fillDefaults(table.get(), host);
    parseConfig(reinterpret_cast<const char *>(data), size, table.get());
    if (table->proCount < 0 || table->proCount > kMaxRecords) return "proCount " + std::to_string(table->proCount);
    for (int32_t i = 0; i < kMaxRecords; ++i) {
        const ProStru &r = table->records[i];
        if (!memchr(r.proName, '\0', sizeof r.proName)) return "record " + std::to_string(i) + ": name unterminated";
        if (memcmp(r.hostAddr, host, 4) != 0 || r.exeCount != 0 || r.activeTime != 0 || r.presetValue != 100 ||
            r.message[0] != '\0')
            return "record " + std::to_string(i) + ": a field the file does not hold was written";
        if (i >= table->proCount &&
            (r.proName[0] != '\0' || r.minExeCount != 0 || r.permitExeCount != 0 || r.userParamA != -1 || r.userParamB != 0))
            return "slot " + std::to_string(i) + " past proCount was written";
        if (i < table->proCount) {
            if (r.proName[0] == '\0') return "record " + std::to_string(i) + ": empty name";
            for (const char *c = r.proName; *c; ++c)
                if (*c == ' ' || (*c >= '\t' && *c <= '\r')) return "record " + std::to_string(i) + ": white space in name";
        }
    }
    // What the reader loaded, saved and read again, is the same table.
    const std::string saved = formatConfig(*table);
    auto again = std::make_unique<ProTable>();
    fillDefaults(again.get(), host);
    parseConfig(saved.data(), saved.size(), again.get());
    // Names compare as strings: a NUL byte inside a name in the file ends
    // the name, leaving the rest of the token unseen behind it.
    if (again->proCount != table->proCount || formatConfig(*again) != saved) return "a saved table reads back differently";
    return std::string();
}

}  // namespace sorvik::fuzz
