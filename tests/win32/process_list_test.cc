// The process snapshot on Windows: copies of the helper program, started
// under chosen names, as the snapshot names them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "census/snapshot.h"
#include "support/windows_support.h"

namespace sorvik {
namespace {

struct Seen {
    uint32_t processId;
    std::string exeText;
};

bool collect(void *context, uint32_t processId, const char *exeText, size_t length) {
    static_cast<std::vector<Seen> *>(context)->push_back({processId, std::string(exeText, length)});
    return true;
}

struct NamedCopy {
    const char *what;
    std::string fileName;
    bool listed;           // whether a task list holds it
    std::string taskName;  // as the task list gives it
};

TEST(ProcessList, NamesRunningCopiesByTheirExecutable) {
    const NamedCopy copies[] = {
        {"plain name", "SvkAlpha.exe", true, "SvkAlpha"},
        {"only the last extension goes", "svk.two.parts.exe", true, "svk.two.parts"},
        {"a file name of 96 characters", std::string(92, 'n') + ".exe", true, std::string(92, 'n')},
        {"a file name of 97 characters", std::string(93, 'm') + ".exe", false, ""},
    };
    wintest::ScratchSite scratch;
    std::vector<std::unique_ptr<wintest::Child>> running;
    for (const NamedCopy &copy : copies) {
        const std::string path = scratch.directory + "\\" + copy.fileName;
        ASSERT_TRUE(wintest::copyFile(wintest::besideThisProgram(SORVIK_HELPER), path)) << copy.what;
        running.push_back(wintest::startHolding(path, {}, nullptr));
        ASSERT_TRUE(running.back()->started()) << copy.what;
    }

    std::vector<Seen> seen;
    ASSERT_TRUE(platform::listProcesses(collect, &seen));
    auto list = std::make_unique<_TASK_LIST[]>(SORVIK_MAX_TASKS);
    std::memset(list.get(), 0xab, sizeof(_TASK_LIST) * SORVIK_MAX_TASKS);
    const int32_t count = fillTaskList(list.get());
    ASSERT_GT(count, 0);

    for (size_t i = 0; i < std::size(copies); ++i) {
        const NamedCopy &copy = copies[i];
        SCOPED_TRACE(copy.what);
        const uint32_t pid = running[i]->processId();
        int visits = 0;
        for (const Seen &s : seen) {
            if (s.processId != pid) continue;
            ++visits;
            const size_t slash = s.exeText.find_last_of('\\');
            EXPECT_EQ(s.exeText.substr(slash == std::string::npos ? 0 : slash + 1), copy.fileName);
        }
        EXPECT_EQ(visits, 1) << "the snapshot lists every process once";

        const _TASK_LIST *entry = nullptr;
        for (int32_t k = 0; k < count; ++k)
            if (list[k].processId == pid) entry = &list[k];
        if (!copy.listed) {
            EXPECT_EQ(entry, nullptr) << "too long a name is left out";
            continue;
        }
        ASSERT_NE(entry, nullptr);
        EXPECT_STREQ(entry->taskName, copy.taskName.c_str());
        EXPECT_EQ(entry->window, 0u) << "the task list clears the window of every entry it fills";
        EXPECT_EQ(entry->windowTitle[0], '\0') << "and leaves an empty title";
    }
    for (int32_t k = count; k < SORVIK_MAX_TASKS; ++k)
        ASSERT_EQ(list[k].processId, 0xababababu) << "entries past the count are untouched";
}

TEST(ProcessList, AnEndedProcessIsNoLongerListed) {
    wintest::ScratchSite scratch;
    const std::string path = scratch.directory + "\\SvkGone.exe";
    ASSERT_TRUE(wintest::copyFile(wintest::besideThisProgram(SORVIK_HELPER), path));
    auto child = wintest::startHolding(path, {}, nullptr);
    const uint32_t pid = child->processId();
    auto listedByName = [&] {
        TaskSnapshot snapshot;
        EXPECT_TRUE(takeSnapshot(&snapshot));
        for (const Task &t : snapshot.tasks)
            if (t.processId == pid && std::strcmp(t.taskName, "SvkGone") == 0) return true;
        return false;
    };
    EXPECT_TRUE(listedByName());
    child->closeInput();
    EXPECT_EQ(child->wait(), 0);
    EXPECT_FALSE(listedByName());
}

}  // namespace
}  // namespace sorvik
