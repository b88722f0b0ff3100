// The controllable task list over a process list and a window list that the
// test makes up: the filter through the table, the order, the bound of the
// caller's array and how windows attach.
#include "census/controllable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "table/table.h"

namespace sorvik {
namespace {

struct FakeProcess {
    uint32_t processId;
    std::string exeText;
};
struct FakeWindow {
    uint32_t window;
    uint32_t owner;
    bool visible;
    std::string title;
};

std::vector<FakeProcess> gProcesses;
std::vector<FakeWindow> gWindows;
bool gHaveProcesses = true;

bool fakeProcesses(platform::ProcessVisitor visit, void *context) {
    if (!gHaveProcesses) return false;
    for (const FakeProcess &p : gProcesses)
        if (!visit(context, p.processId, p.exeText.c_str(), p.exeText.size())) break;
    return true;
}

bool fakeWindows(platform::WindowVisitor visit, void *context) {
    for (const FakeWindow &w : gWindows) visit(context, w.window, w.owner, w.visible, w.title.c_str());
    return true;
}

class ControllableList : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint8_t host[4] = {127, 0, 0, 1};
        fillDefaults(table.get(), host);
        gProcesses.clear();
        gWindows.clear();
        gHaveProcesses = true;
        std::memset(list.get(), 0, sizeof(_TASK_LIST) * (SORVIK_MAX_TASKS + 1));
    }
    void records(const std::vector<std::string> &names) {
        for (size_t i = 0; i < names.size(); ++i)
            std::strncpy(table->records[i].proName, names[i].c_str(), sizeof table->records[i].proName - 1);
        table->proCount = static_cast<int32_t>(names.size());
    }
    int32_t keep() {
        TaskSnapshot snapshot;
        takeSnapshot(&snapshot, fakeProcesses);
        return keepControllable(table.get(), &snapshot, list.get());
    }
    int32_t run() {
        const int32_t count = keep();
        attachWindows(list.get(), count, fakeWindows);
        return count;
    }
    // "pid name" for entries 0 .. count - 1.
    std::vector<std::string> entries(int32_t count) const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < count; ++i)
            out.push_back(std::to_string(list[i].processId) + " " + list[i].taskName);
        return out;
    }

    std::unique_ptr<ProTable> table = std::make_unique<ProTable>();
    // One entry more than the caller's room, to see that nothing is written there.
    std::unique_ptr<_TASK_LIST[]> list = std::make_unique<_TASK_LIST[]>(SORVIK_MAX_TASKS + 1);
};

TEST_F(ControllableList, KeepsTheTasksWhoseNameIsARecordsBaseName) {
    records({"C:\\apps\\Report", "viewer", "absent"});
    std::strcpy(table->records[3].proName, "ghost");  // past proCount: not in use
    gProcesses = {{10, "report.exe"}, {11, "stranger"},       {12, "VIEWER"},
                  {13, "Report.bin"}, {14, "Report"}, {15, "ghost"}, {16, "apps\\Report"}};
    const int32_t count = run();
    EXPECT_EQ(entries(count), (std::vector<std::string>{"10 report", "13 Report", "14 Report", "12 VIEWER"}));
}

TEST_F(ControllableList, OnlyTheWholeNameMatchesNotAPrefixOrALongerOne) {
    records({"d:\\tools\\report", "Tool"});
    gProcesses = {{10, "repor"}, {11, "reports"}, {12, "REPORT"}, {13, "tools"}, {14, "too"}, {15, "tOOL"}, {16, ""}};
    const int32_t count = run();
    EXPECT_EQ(entries(count), (std::vector<std::string>{"12 REPORT", "15 tOOL"}));
}

TEST_F(ControllableList, AnEmptyTableOrNoSnapshotGivesNothing) {
    gProcesses = {{10, "viewer"}};
    EXPECT_EQ(run(), 0) << "no record in use";
    records({"viewer"});
    gHaveProcesses = false;
    EXPECT_EQ(run(), 0) << "no snapshot";
}

TEST_F(ControllableList, SortsByTheLibrarysNameOrderKeepingCopiesInSnapshotOrder) {
    records({"alpha", "Beta", "_tool", "gamma", "b~"});
    gProcesses = {{1, "gamma"}, {2, "Beta"}, {3, "alpha"}, {4, "_tool"}, {5, "gamma"}, {6, "ALPHA"}, {7, "b~"}};
    const int32_t count = run();
    EXPECT_EQ(entries(count), (std::vector<std::string>{"4 _tool", "3 alpha", "6 ALPHA", "2 Beta", "7 b~", "1 gamma",
                                                        "5 gamma"}));
}

TEST_F(ControllableList, MoreThanTheCallersRoomKeepsTheFirstInOrder) {
    records({"worker", "zeta", "aaa"});
    gProcesses.push_back({1, "zeta"});
    for (uint32_t i = 0; i < 600; ++i) gProcesses.push_back({1000 + i, "worker"});
    gProcesses.push_back({2, "aaa"});  // beyond the 500th process: the filter sees every one
    const int32_t count = run();
    ASSERT_EQ(count, SORVIK_MAX_TASKS);
    EXPECT_EQ(entries(1), std::vector<std::string>{"2 aaa"});
    EXPECT_EQ(list[1].processId, 1000u);
    EXPECT_EQ(list[SORVIK_MAX_TASKS - 1].processId, 1000u + SORVIK_MAX_TASKS - 2);
    EXPECT_EQ(list[SORVIK_MAX_TASKS].processId, 0u) << "written past the caller's room";
    EXPECT_EQ(list[SORVIK_MAX_TASKS].taskName[0], '\0') << "written past the caller's room";
}

TEST_F(ControllableList, AttachesTheLastVisibleWindowAndTheLastVisibleText) {
    const std::string longText(80, 'a');
    struct Case {
        const char *what;
        std::vector<FakeWindow> windows;
        uint32_t window;
        std::string title;
    };
    const std::vector<Case> cases = {
        {"no window", {}, 0, ""},
        {"only an invisible one", {{100, 7, false, "Hidden"}}, 0, ""},
        {"one visible with text", {{100, 7, true, "Main"}}, 100, "Main"},
        {"a later visible one without text", {{100, 7, true, "Main"}, {101, 7, true, ""}}, 101, "Main"},
        {"two visible with text", {{100, 7, true, "First"}, {101, 7, true, "Second"}}, 101, "Second"},
        {"a later invisible one", {{100, 7, true, "Main"}, {101, 7, false, "Hidden"}}, 100, "Main"},
        {"visible without text only", {{100, 7, true, ""}}, 100, ""},
        {"another process's, and one whose owner is unknown", {{100, 8, true, "Other"}, {101, 0, true, "Nobody"}}, 0,
         ""},
        {"text longer than the field", {{100, 7, true, longText}}, 100, std::string(63, 'a')},
    };
    records({"app"});
    gProcesses = {{7, "app"}, {8, "app"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        gWindows = c.windows;
        ASSERT_EQ(run(), 2);
        ASSERT_EQ(list[0].processId, 7u);
        EXPECT_EQ(list[0].window, c.window);
        EXPECT_EQ(std::string(list[0].windowTitle), c.title);
    }
}

TEST_F(ControllableList, NoEntryKeepsWhatTheCallersArrayHeld) {
    records({"app", "tool"});
    gProcesses = {{7, "app"}, {8, "tool"}};
    gWindows = {{100, 8, true, "Tool"}};
    std::memset(list.get(), 'x', sizeof(_TASK_LIST) * SORVIK_MAX_TASKS);
    ASSERT_EQ(keep(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].window, 0u) << i;
        EXPECT_EQ(std::string(list[i].windowTitle, sizeof list[i].windowTitle), std::string(64, '\0')) << i;
    }
    std::memset(list[0].windowTitle, 'y', sizeof list[0].windowTitle);
    list[0].window = 55;
    attachWindows(list.get(), 2, fakeWindows);
    EXPECT_EQ(list[0].window, 0u) << "attaching starts from no window";
    EXPECT_EQ(std::string(list[0].windowTitle), "") << "attaching starts from no title";
    EXPECT_EQ(list[1].window, 100u);
    EXPECT_EQ(std::string(list[1].windowTitle), "Tool");
}

}  // namespace
}  // namespace sorvik
