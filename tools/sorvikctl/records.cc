#include "records.h"

#include <cstring>

namespace sorvikctl {
namespace {

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string fieldText(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }

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
        if (sameName(wholeName ? record.name : record.baseName, name)) return std::move(record);
    return std::nullopt;
}

std::string unstorableReason(std::string_view name) {
    if (name.empty()) return "it is empty";
    if (name.size() > sizeof(ProStru::proName) - 1)
        return "it is " + std::to_string(name.size()) + " characters long, over 99";
    for (char c : name)
        if (isSpace(c)) return "it holds white space";
    if (name.back() == '\\') return "it ends in a backslash, so its base name would be empty";
    return "";
}

}  // namespace sorvikctl
