#include "records.h"

#include "table/names.h"

namespace sorvikctl {

std::string fieldText(const char *field, size_t width) { return std::string(sorvik::fieldView(field, width)); }

std::vector<Record> readRecords() {
    std::vector<Record> records;
    const int32_t count = GetControllableProcessNum();
    for (int32_t i = 0; i < count; ++i) {
        const ProStru *live = GetProcessStruAt(i);
        const char *base = GetProcessNameAt(i);
        // Another process may delete records while we read.
        if (!live || !base) break;
        Record record{i, fieldText(live->proName, sizeof live->proName), "", *live};
        record.baseName = fieldText(base, sizeof live->proName);
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<Record> findRecord(std::string_view name, bool wholeName) {
    for (Record &record : readRecords())
        if (sorvik::sameFolded(wholeName ? record.name : record.baseName, name)) return std::move(record);
    return std::nullopt;
}

std::string unstorableReason(std::string_view name) {
    switch (sorvik::storeFault(name)) {
        case sorvik::NameFault::none:
            return "";
        case sorvik::NameFault::empty:
            return "it is empty";
        case sorvik::NameFault::tooLong:
            return "it is " + std::to_string(name.size()) + " characters long, over " +
                   std::to_string(sorvik::kMaxNameLength);
        case sorvik::NameFault::holdsNul:
            return "it holds a NUL byte";
        case sorvik::NameFault::holdsSeparator:
            return "it holds white space";
        case sorvik::NameFault::endsInBackslash:
            return "it ends in a backslash, so its base name would be empty";
    }
    return "";
}

}  // namespace sorvikctl
