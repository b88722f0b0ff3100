#include "census/snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/fake_processes.h"

namespace sorvik {
namespace {

using test::FakeProcess;

TEST(TaskName, IsTheFileNameWithoutItsLastExtension) {
    const std::string y92(92, 'y');
    struct Case {
        std::string file;
        bool kept;
        std::string task;
    } cases[] = {
        {"report.exe", true, "report"},
        {"archive.tar.gz", true, "archive.tar"},
        {".profile", true, ".profile"},
        {"tool.", true, "tool"},
        {"tool", true, "tool"},
        {"", true, ""},
        // The platform's walk has taken the directory off; what is left is
        // the name, whatever it holds.
        {"evil\\report.exe", true, "evil\\report"},
        {"dir\\", true, "dir\\"},
        {"old.d\\report", true, "old"},
        {std::string(96, 'x'), true, std::string(96, 'x')},
        {y92 + ".exe", true, y92},  // the limit counts the extension
        {std::string(97, 'z'), false, ""},
        {y92 + ".exe1", false, ""},
    };
    for (const Case &c : cases) {
        char name[100];
        std::memset(name, '#', sizeof name);
        const bool kept = taskNameOf(c.file.data(), c.file.size(), name);
        EXPECT_EQ(kept, c.kept) << c.file;
        if (kept) {
            EXPECT_EQ(std::string(name), c.task) << c.file;
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

TEST_F(TaskList, FillsEveryFieldOfItsEntriesInSnapshotOrder) {
    test::gFakeProcesses = {{7, "viewer.exe"}, {3, "viewer"}, {12, "init"}};
    ASSERT_EQ(fillTaskList(list, test::fakeProcesses), 3);
    const struct {
        uint32_t pid;
        const char *name;
    } expected[] = {{7, "viewer"}, {3, "viewer"}, {12, "init"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].processId, expected[i].pid);
        EXPECT_STREQ(list[i].taskName, expected[i].name);
        // Nothing of what the caller's array held survives in a filled
        // entry: a caller that prints the title needs its terminator.
        EXPECT_EQ(list[i].window, 0u);
        EXPECT_EQ(std::string(list[i].windowTitle, sizeof list[i].windowTitle),
                  std::string(sizeof list[i].windowTitle, '\0'));
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
