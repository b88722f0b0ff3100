#include "census/recount.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/fake_processes.h"

namespace sorvik {
namespace {

class Recount : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint8_t host[4] = {};
        fillDefaults(table.get(), host);
    }
    void add(const char *name) { std::strcpy(table->records[table->proCount++].proName, name); }
    int32_t exe(int i) const { return table->records[i].exeCount; }
    std::unique_ptr<ProTable> table = std::make_unique<ProTable>();
};

TEST_F(Recount, OneRecordMatchesTheWholeNameAllRecordsTheBaseName) {
    add("report");
    add("REPORT");
    add("C:\\apps\\report");
    add("report.exe");
    add("idle");
    const TaskSnapshot snapshot = test::fakeSnapshot(
        {{1, "report.exe"}, {2, "report.exe"}, {3, "Report"}, {4, "reporter"}, {5, "shell"}, {6, "evil\\report"}});

    struct Case {
        int record;
        int32_t one, all;
    } cases[] = {{0, 3, 3}, {1, 3, 3}, {2, 0, 3}, {3, 0, 0}, {4, 0, 0}};
    for (const Case &c : cases) {
        table->records[c.record].exeCount = 42;
        recountOne(table.get(), c.record, snapshot);
        EXPECT_EQ(exe(c.record), c.one) << "one, record " << c.record;
    }
    for (int i = 0; i < 5; ++i) table->records[i].exeCount = 42;
    // A file name that holds a backslash (possible where '/' divides paths)
    // is one name: evil\report is no copy of report.
    EXPECT_EQ(recountAll(table.get(), snapshot), 6) << "the number of tasks, matched or not";
    for (const Case &c : cases) EXPECT_EQ(exe(c.record), c.all) << "all, record " << c.record;
}

TEST_F(Recount, CountsBeyondTheFiveHundredthProcess) {
    add("late");
    std::vector<test::FakeProcess> processes;
    for (uint32_t i = 0; i < 700; ++i) processes.push_back({i + 10, "filler"});
    processes.push_back({5000, "late"});
    processes.push_back({5001, "late.bin"});
    const TaskSnapshot snapshot = test::fakeSnapshot(processes);
    recountOne(table.get(), 0, snapshot);
    EXPECT_EQ(exe(0), 2);
    table->records[0].exeCount = 0;
    EXPECT_EQ(recountAll(table.get(), snapshot), 500) << "the result stays within a task list";
    EXPECT_EQ(exe(0), 2);
}

TEST_F(Recount, AFailedSnapshotCountsNothing) {
    add("report");
    table->records[0].exeCount = 4;
    test::gFakeProcessesFail = true;
    TaskSnapshot failed;
    EXPECT_FALSE(takeSnapshot(&failed, test::fakeProcesses));
    test::gFakeProcessesFail = false;
    recountOne(table.get(), 0, failed);
    EXPECT_EQ(exe(0), 0);
    table->records[0].exeCount = 4;
    EXPECT_EQ(recountAll(table.get(), failed), 0);
    EXPECT_EQ(exe(0), 0);
}

TEST_F(Recount, AnEmptyTableChangesNothing) {
    table->records[0].exeCount = 9;  // a slot not in use
    EXPECT_EQ(recountAll(table.get(), test::fakeSnapshot({{1, "a"}, {2, "b"}})), 2);
    EXPECT_EQ(exe(0), 9);
}

}  // namespace
}  // namespace sorvik
