#include "census/snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/fake_processes.h"

namespace sorvik {
namespace {

using test::FakeProcess;

TEST(TaskName, IsTheFileNameWithoutDirectoryAndLastExtension) {
    const std::string y92(92, 'y');
    struct Case {
        std::string exe;
        bool kept;
        std::string task;
    } cases[] = {
        {"C:\\tools\\report.exe", true, "report"},
        {"report.exe", true, "report"},
        {"C:\\old.d\\report", true, "report"},
        {"archive.tar.gz", true, "archive.tar"},
        {".profile", true, ".profile"},
        {"tool.", true, "tool"},
        {"tool", true, "tool"},
        {"", true, ""},
        {"dir\\", true, ""},
        {"a/b.c", true, "a/b"},
        {std::string(96, 'x'), true, std::string(96, 'x')},
        {"C:\\" + y92 + ".exe", true, y92},  // the limit counts the extension, not the directory
        {std::string(97, 'z'), false, ""},
        {"C:\\" + y92 + ".exe1", false, ""},
    };
    for (const Case &c : cases) {
        char name[100];
        std::memset(name, '#', sizeof name);
        const bool kept = taskNameOf(c.exe.data(), c.exe.size(), name);
        EXPECT_EQ(kept, c.kept) << c.exe;
        if (kept) {
            EXPECT_EQ(std::string(name), c.task) << c.exe;
        }
    }
}

class TaskList : public ::testing::Test {
  protected:
    void SetUp() override {
        test::gFakeProcessesFail = false;
        std::memset(list, 0x5a, sizeof list);
    }
    std::vector<FakeProcess> many(int count, const std::string &prefix) {
        std::vector<FakeProcess> processes;
        for (int i = 0; i < count; ++i) processes.push_back({static_cast<uint32_t>(1000 + i), prefix + std::to_string(i) + ".exe"});
        return processes;
    }
    _TASK_LIST list[SORVIK_MAX_TASKS + 1];
};

TEST_F(TaskList, FillsIdsAndNamesInSnapshotOrderAndNothingElse) {
    test::gFakeProcesses = {{7, "C:\\apps\\viewer.exe"}, {3, "viewer.exe"}, {12, "init"}};
    ASSERT_EQ(fillTaskList(list, test::fakeProcesses), 3);
    const struct {
        uint32_t pid;
        const char *name;
    } expected[] = {{7, "viewer"}, {3, "viewer"}, {12, "init"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].processId, expected[i].pid);
        EXPECT_STREQ(list[i].taskName, expected[i].name);
        EXPECT_EQ(list[i].window, 0x5a5a5a5au) << "window is not the task list's to write";
        EXPECT_EQ(list[i].windowTitle[0], 0x5a);
    }
    EXPECT_EQ(list[3].processId, 0x5a5a5a5au) << "entries past the count are untouched";
}

TEST_F(TaskList, StopsAtTheFiveHundredthStoredEntry) {
    std::vector<FakeProcess> processes = many(600, "p");
    // A process with an over-long name is left out and not counted.
    processes.insert(processes.begin() + 10, FakeProcess{99, std::string(97, 'L')});
    test::gFakeProcesses = processes;
    ASSERT_EQ(fillTaskList(list, test::fakeProcesses), 500);
    EXPECT_EQ(test::gFakeProcessesVisited, 501u) << "the walk ends at the 500th stored entry";
    EXPECT_STREQ(list[10].taskName, "p10");
    EXPECT_STREQ(list[499].taskName, "p499");
    EXPECT_EQ(list[500].processId, 0x5a5a5a5au);
}

TEST_F(TaskList, AFailedSnapshotLeavesTheArrayUntouched) {
    test::gFakeProcessesFail = true;
    _TASK_LIST before[SORVIK_MAX_TASKS + 1];
    std::memcpy(before, list, sizeof list);
    EXPECT_EQ(fillTaskList(list, test::fakeProcesses), 0);
    EXPECT_EQ(std::memcmp(before, list, sizeof list), 0);
}

TEST_F(TaskList, TheSnapshotForCountingKeepsEveryProcess) {
    const TaskSnapshot snapshot = test::fakeSnapshot(many(2000, "q"));
    EXPECT_TRUE(snapshot.taken);
    ASSERT_EQ(snapshot.tasks.size(), 2000u);
    EXPECT_STREQ(snapshot.tasks[1999].taskName, "q1999");
    EXPECT_EQ(snapshot.tasks[1999].processId, 2999u);
}

}  // namespace
}  // namespace sorvik
