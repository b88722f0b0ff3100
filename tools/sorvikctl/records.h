// Reading the shared table through the library's exported functions.
#ifndef SORVIKCTL_RECORDS_H
#define SORVIKCTL_RECORDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sorvik.h"

namespace sorvikctl {

// A copy of one record, taken so that printing never reads the live one.
struct Record {
    int32_t index;
    std::string name;      // the whole name, directory included
    std::string baseName;  // the part after the last backslash
    ProStru fields;
};

std::vector<Record> readRecords();

// The first record whose base name (or, with `wholeName`, whole name) is
// `name`, as the library compares names.
std::optional<Record> findRecord(std::string_view name, bool wholeName = false);

// A fixed-size character field as a string, stopping at its terminator.
std::string fieldText(const char *field, size_t width);

// Why the library cannot store `name` as a record's name, or "" when it can.
std::string unstorableReason(std::string_view name);

}  // namespace sorvikctl

#endif
