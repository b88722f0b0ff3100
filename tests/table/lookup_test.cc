#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "table/accessors.h"
#include "table/names.h"

namespace sorvik {
namespace {

// The lookup as the names define it, record by record: the baseName of each
// proName, compared whole.
int32_t lookupByDefinition(const ProTable &table, const char *name, int32_t from) {
    for (int32_t i = from < 0 ? 0 : from; i < recordsInUse(&table); ++i) {
        const char *base = baseName(table.records[i].proName, sizeof table.records[i].proName);
        const size_t width = sizeof table.records[i].proName - static_cast<size_t>(base - table.records[i].proName);
        if (sameName(base, name, width)) return i;
    }
    return -1;
}

struct Table {
    ProTable table{};
    explicit Table(const std::vector<std::string> &names) {
        for (const std::string &name : names) {
            ProStru &record = table.records[table.proCount++];
            std::memcpy(record.proName, name.data(), name.size() < 100 ? name.size() : 100);
        }
    }
};

TEST(Lookup, FindsWhatTheBaseNameDefinitionFinds) {
    const std::string full(100, 'q');  // fills the field, no terminator
    Table t({"viewer", "d:\\apps\\Viewer", "tools\\", "", "a/b", "\\\\x", "xviewer", "d:\\xviewer", "VIEWER.exe",
             "d:\\apps\\report", "report\\sub", full, "q", "c:\\" + std::string(96, 'q'), "\\", "x\\viewer"});
    const std::vector<std::string> probes = {"viewer", "VIEWER",      "Viewer",  "",          "a/b", "x",
                                             "report", "apps\\report", "sub",     "viewer.exe", full, std::string(96, 'q'),
                                             "q",      "xviewer",     "d:",      "tools",     "\\", full + "q"};
    for (const std::string &probe : probes)
        for (int32_t from = 0; from <= t.table.proCount; ++from)
            EXPECT_EQ(findByBaseName(&t.table, probe.c_str(), from), lookupByDefinition(t.table, probe.c_str(), from))
                << '"' << probe << "\" from " << from;
}

TEST(Lookup, TheCountIsTheOneTheAccessorsUse) {
    // A client can write anything into proCount through a handed-out
    // pointer; the count and the accessors must still agree.
    const struct {
        int32_t stored, count;
    } cases[] = {{0, 0}, {12, 12}, {350, 350}, {351, 350}, {100000, 350}, {-7, 0}, {INT32_MIN, 0}, {INT32_MAX, 350}};
    for (const auto &c : cases) {
        Table t({});
        t.table.proCount = c.stored;
        EXPECT_EQ(recordsInUse(&t.table), c.count) << "proCount " << c.stored;
        EXPECT_EQ(recordAt(&t.table, c.count), nullptr) << "proCount " << c.stored;
        if (c.count > 0) {
            EXPECT_NE(recordAt(&t.table, c.count - 1), nullptr) << "proCount " << c.stored;
        }
    }
    EXPECT_EQ(recordsInUse(nullptr), 0);
}

TEST(Lookup, FirstMatchFromTheStartAndLaterOnes) {
    Table t({"app", "tools\\app", "APP"});
    EXPECT_EQ(findByBaseName(&t.table, "App"), 0);
    EXPECT_EQ(findByBaseName(&t.table, "app", 1), 1);
    EXPECT_EQ(findByBaseName(&t.table, "app", 2), 2);
    EXPECT_EQ(findByBaseName(&t.table, "app", 3), -1);
    EXPECT_EQ(findByBaseName(&t.table, "tools\\app"), -1);  // a baseName holds no backslash
    EXPECT_EQ(findByBaseName(nullptr, "app"), -1);
    EXPECT_EQ(findByBaseName(&t.table, nullptr), -1);
}

TEST(Lookup, ANameLongerThanTheFieldMatchesNothing) {
    Table t({std::string(100, 'z')});
    EXPECT_EQ(findByBaseName(&t.table, std::string(100, 'z').c_str()), 0);
    EXPECT_EQ(findByBaseName(&t.table, std::string(101, 'z').c_str()), -1);
}

}  // namespace
}  // namespace sorvik
