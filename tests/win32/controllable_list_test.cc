// GetControllableTaskList through the real sorvik.dll: the probe lists the
// copies of the helper program that run under the table's names, with the
// windows they hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/windows_support.h"

namespace sorvik {
namespace {

const std::string kProbe = SORVIK_PROBE;
const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A copy of the helper program running as `name`.exe, with the windows it
// was told to make, in the order it made them.
struct Copy {
    std::unique_ptr<wintest::Child> child;
    std::vector<uint32_t> windows;

    std::string entry(const std::string &taskName, uint32_t window, const std::string &title) const {
        return std::to_string(child->processId()) + "|" + taskName + "|" + std::to_string(window) + "|" + title;
    }
};

Copy startCopy(const std::string &directory, const std::string &name, const std::vector<std::string> &commands) {
    const std::string path = directory + "\\" + name + ".exe";
    EXPECT_TRUE(wintest::copyFile(wintest::besideThisProgram(SORVIK_HELPER), path)) << path;
    Copy copy;
    std::string printed;
    // The first window of a fresh Wine prefix waits for its desktop to start.
    copy.child = wintest::startHolding(path, commands, &printed, std::chrono::seconds(60));
    std::istringstream said(printed);
    for (std::string word, value; said >> word >> value;)
        if (word == "window") copy.windows.push_back(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
    return copy;
}

class ControllableTaskList : public ::testing::Test {
  protected:
    void SetUp() override {
        wintest::writeFile(kSiteConfig, "C:\\apps\\SvkReport 0 5 0 0\r\nSvkViewer 0 1 0 0\r\nSvk_tool 0 1 0 0\r\n"
                                        "SvkAbsent 0 1 0 0\r\n");
    }
    void TearDown() override { std::remove(kSiteConfig.c_str()); }
    // Two directories, since file names differing only in case name one file.
    wintest::ScratchSite scratch, otherScratch;
};

TEST_F(ControllableTaskList, ListsTheTablesRunningProgramsSortedWithTheirWindows) {
    // Started out of order, so that the list is sorted by the call.
    const Copy viewer = startCopy(scratch.directory, "SvkViewer", {"hidden", "Hidden title", "window", ""});
    const Copy report = startCopy(scratch.directory, "SvkReport", {"window", "Quarterly", "hidden", "Draft"});
    const Copy tool = startCopy(scratch.directory, "Svk_tool", {"window", "Tools"});
    const Copy upper = startCopy(otherScratch.directory, "SVKREPORT", {"hidden", "Draft only"});
    const Copy stranger = startCopy(scratch.directory, "SvkStranger", {"window", "Nope"});
    ASSERT_EQ(viewer.windows.size(), 2u);
    ASSERT_EQ(report.windows.size(), 2u);
    ASSERT_EQ(tool.windows.size(), 1u);
    ASSERT_EQ(upper.windows.size(), 1u);
    ASSERT_EQ(stranger.windows.size(), 1u);

    // The probe fills its array with 'x' before the call.
    int64_t status = -2;
    const std::vector<std::string> out = lines(wintest::runProgram(kProbe, {"controlled"}, &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(out.size(), 5u) << ::testing::PrintToString(out);
    EXPECT_EQ(out[0], "controlled 4") << "the stranger matches no record, and no SvkAbsent runs";
    EXPECT_EQ(out[1], tool.entry("Svk_tool", tool.windows[0], "Tools")) << "'_' sorts below the letters";
    // The two SvkReport entries compare equal and keep the snapshot's order.
    EXPECT_EQ(std::set<std::string>(out.begin() + 2, out.begin() + 4),
              (std::set<std::string>{report.entry("SvkReport", report.windows[0], "Quarterly"),
                                     upper.entry("SVKREPORT", 0, "")}))
        << "a record's base name matches whatever the case; an invisible window is not given";
    EXPECT_EQ(out[4], viewer.entry("SvkViewer", viewer.windows[1], ""))
        << "the visible window, and no title where no visible window has one";
}

TEST_F(ControllableTaskList, IsEmptyWhenNoneOfTheTablesProgramsRuns) {
    const Copy stranger = startCopy(scratch.directory, "SvkStranger", {"window", "Nope"});
    ASSERT_EQ(stranger.windows.size(), 1u);
    int64_t status = -2;
    EXPECT_EQ(wintest::runProgram(kProbe, {"controlled"}, &status), "controlled 0\n");
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace sorvik
