// GetControllableTaskList in the real shared library: the probe lists the
// window clients that run under the table's names on a private X server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/probe_session.h"
#include "support/scratch.h"
#include "support/x_server.h"

namespace sorvik {
namespace {

using test::kProbe;
using test::kSiteConfig;
using test::kSiteRegion;

const std::string kWindowClient = SORVIK_WINDOW_CLIENT;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string entry(const test::WindowClient &client, const std::string &name, uint32_t window,
                  const std::string &title) {
    return std::to_string(client.pid()) + "|" + name + "|" + std::to_string(window) + "|" + title;
}

// Names unique to this run: copies of programs that others run on the
// machine must not be listed. The record's name and the two programs'
// differ only in the case of their letters.
const std::string kRecordReport = test::uniqueName("Report");
const std::string kReport = test::uniqueName("report");
const std::string kViewer = test::uniqueName("viewer");
const std::string kAbsent = test::uniqueName("absent");

std::string upperCase(std::string name) {
    for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

class ControllableTaskList : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        test::removeRegion(test::kSiteRunDir, kSiteRegion);
        test::writeFile(kSiteConfig, "C:\\apps\\" + kRecordReport + " 0 5 0 0\n" + kViewer + " 0 1 0 0\n" + kAbsent +
                                         " 0 1 0 0\n");
        const char *old = std::getenv("DISPLAY");
        if (old) oldDisplay = old;
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRunDir, kSiteRegion);
        std::remove(kSiteConfig.c_str());
        if (oldDisplay.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", oldDisplay.c_str(), 1);
    }
    std::string program(const std::string &name) { return test::namedCopy(kWindowClient, scratch.directory, name); }
    // The probe's list, on `display` or, when it is empty, with no display.
    std::vector<std::string> controlled(const std::string &display) {
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        int status = 0;
        const std::string out = test::runProgram({kProbe, "controlled"}, &status);
        EXPECT_EQ(status, 0) << out;
        return lines(out);
    }
    test::XServer x;
    test::ScratchSite scratch;  // for its directory
    std::string oldDisplay;
};

TEST_F(ControllableTaskList, ListsTheTablesRunningProgramsSortedWithTheirWindows) {
    test::WindowClient report(program(kReport), x.display,
                              {"window", "mapped", "net", "Quarterly", "window", "unmapped", "net", "Draft"});
    test::WindowClient upper(program(upperCase(kReport)), x.display, {"window", "unmapped", "net", "Draft only"});
    test::WindowClient viewer(program(kViewer), x.display,
                              {"window", "mapped", "net", "Photos", "window", "mapped"});
    test::WindowClient stranger(program(test::uniqueName("stranger")), x.display, {"window", "mapped", "net", "Nope"});
    ASSERT_EQ(report.windows.size(), 2u);
    ASSERT_EQ(upper.windows.size(), 1u);
    ASSERT_EQ(viewer.windows.size(), 2u);
    ASSERT_EQ(stranger.windows.size(), 1u);

    const std::vector<std::string> out = controlled(x.display);
    ASSERT_EQ(out.size(), 4u) << ::testing::PrintToString(out);
    EXPECT_EQ(out[0], "controlled 3");
    // The two report entries compare equal and keep the snapshot's order.
    EXPECT_EQ(std::set<std::string>(out.begin() + 1, out.begin() + 3),
              (std::set<std::string>{entry(report, kReport, report.windows[0], "Quarterly"),
                                     entry(upper, upperCase(kReport), 0, "")}));
    EXPECT_EQ(out[3], entry(viewer, kViewer, viewer.windows[1], "Photos"))
        << "the last visible window, the last visible text";
}

TEST_F(ControllableTaskList, WithoutADisplayListsTheProgramsWithoutWindows) {
    test::WindowClient report(program(kReport), x.display, {"window", "mapped", "net", "Quarterly"});
    test::WindowClient viewer(program(kViewer), x.display, {"window", "mapped", "net", "Photos"});
    ASSERT_EQ(report.windows.size(), 1u);
    ASSERT_EQ(viewer.windows.size(), 1u);
    EXPECT_EQ(controlled(""), (std::vector<std::string>{"controlled 2", entry(report, kReport, 0, ""),
                                                         entry(viewer, kViewer, 0, "")}));
}

TEST_F(ControllableTaskList, AnXServerThatNeverAnswersGivesTheProgramsWithoutWindows) {
    test::WindowClient report(program(kReport), x.display, {"window", "mapped", "net", "Quarterly"});
    ASSERT_EQ(report.windows.size(), 1u);
    test::SilentDisplay silent;
    ASSERT_FALSE(silent.display.empty());
    // runProgram's own limit ends a probe that waits for ever.
    EXPECT_EQ(controlled(silent.display),
              (std::vector<std::string>{"controlled 1", entry(report, kReport, 0, "")}));
}

// The file libxcb was loaded from in the running process `pid`.
std::string loadedXcb(uint32_t pid) {
    std::istringstream maps(test::readFile("/proc/" + std::to_string(pid) + "/maps"));
    for (std::string line; std::getline(maps, line);) {
        const size_t path = line.find('/');
        if (path != std::string::npos && line.find("/libxcb.so.1", path) != std::string::npos) return line.substr(path);
    }
    return "";
}

TEST_F(ControllableTaskList, WithoutAnXLibraryTheListStillComes) {
    test::WindowClient report(program(kReport), x.display, {"window", "mapped", "net", "Quarterly"});
    ASSERT_EQ(report.windows.size(), 1u);
    const std::string xcb = loadedXcb(report.pid());
    ASSERT_FALSE(xcb.empty());
    setenv("DISPLAY", x.display.c_str(), 1);
    int status = 0;
    test::runProgram({"/usr/bin/unshare", "--mount", "true"}, &status);
    if (status != 0) GTEST_SKIP() << "no mount namespace to hide libxcb in";
    // In a mount namespace of its own the probe finds libxcb empty: the
    // library cannot load it, though a display is there.
    const std::string out = test::runProgram(
        {"/usr/bin/unshare", "--mount", "sh", "-c", "mount --bind /dev/null \"$1\" && exec \"$2\" controlled", "sh",
         xcb, kProbe},
        &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(lines(out), (std::vector<std::string>{"controlled 1", entry(report, kReport, 0, "")}));
}

}  // namespace
}  // namespace sorvik
