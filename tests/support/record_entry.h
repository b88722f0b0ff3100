// A record as the reliability tests hand it to their client programs: one
// command-line argument `name:minimum:permit:a:b` a record.
#ifndef SORVIK_TESTS_SUPPORT_RECORD_ENTRY_H
#define SORVIK_TESTS_SUPPORT_RECORD_ENTRY_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sorvik::test {

struct RecordEntry {
    std::string name;
    int32_t minimum, permit, a, b;
};

inline std::string entryArgument(const RecordEntry &e) {
    return e.name + ":" + std::to_string(e.minimum) + ":" + std::to_string(e.permit) + ":" + std::to_string(e.a) +
           ":" + std::to_string(e.b);
}

// The entries of `count` arguments; false when one is not of that form.
inline bool parseEntryArguments(int count, char **arguments, std::vector<RecordEntry> *entries) {
    for (int i = 0; i < count; ++i) {
        char name[128];
        RecordEntry e;
        if (std::sscanf(arguments[i], "%127[^:]:%d:%d:%d:%d", name, &e.minimum, &e.permit, &e.a, &e.b) != 5)
            return false;
        e.name = name;
        entries->push_back(e);
    }
    return true;
}

}  // namespace sorvik::test

#endif
