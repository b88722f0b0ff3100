// Counting real processes: copies of the sleeper under the names of
// controlled programs, seen through the test site's library.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/probe_session.h"

namespace sorvik {
namespace {

using test::probe;
using test::ProbeSession;

// Names unique to this run, so that another test run on the machine never
// adds to the counts.
const std::string kReport = test::uniqueName("report");
const std::string kIdle = test::uniqueName("idle");
const std::string k15 = test::uniqueName("fifteen_letters");      // exactly the kernel's cut
const std::string kLong = test::uniqueName("a_much_longer_program_name");  // cut by the kernel, found again
const std::string kScript = test::uniqueName("a_long_shell_script_name");  // runs under its own name

bool holds(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

int tasksNamed(const std::string &tasks, const std::string &name, pid_t pid = 0) {
    std::istringstream lines(tasks);
    std::string line;
    int found = 0;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos || line.substr(space + 1) != name) continue;
        if (pid == 0 || line.substr(0, space) == std::to_string(pid)) ++found;
    }
    return found;
}

class Census : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        test::writeFile(test::kSiteConfig, kReport + " 1 2 -1 0\n" + k15 + " 0 1 0 0\n" + kLong +
                                               " 0 3 0 0\nC:\\apps\\" + kReport + " 0 9 0 0\n" + kScript +
                                               " 0 1 0 0\n" + kIdle + " 1 1 0 0\n");
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::remove(test::kSiteConfig.c_str());
    }
    test::Sleepers sleepers;
};

TEST_F(Census, TheTaskListNamesRealProcesses) {
    const std::string archive = test::uniqueName("archive");
    test::writeFile(test::kSiteConfig, kReport + " 0 1 0 0\n" + k15 + " 0 1 0 0\n" + kLong + " 0 1 0 0\n" +
                                           archive + ".tar 0 1 0 0\n" + kScript + " 0 1 0 0\n");
    const struct {
        std::string task;
        pid_t pid;
    } started[] = {
        {kReport, sleepers.start(kReport)},
        {k15, sleepers.start(k15)},
        {kLong, sleepers.start(kLong)},
        {archive + ".tar", sleepers.start(archive + ".tar.gz")},
        {kScript, sleepers.startScript(kScript + ".sh", "read line < \"$0.fifo\"")},
    };
    // The recount sees every process, however many run.
    const std::string counted = probe({"refresh", "dump"});
    for (const auto &s : started)
        EXPECT_TRUE(holds(counted, "|" + s.task + "|" + s.task + "|min=0|permit=1|exe=1|")) << s.task << "\n"
                                                                                            << counted;

    // The task list holds the first 500 processes only.
    const std::string tasks = probe({"tasks"});
    if (holds(tasks, "\ntasks 500\n")) GTEST_SKIP() << "more than 500 processes run; the list cannot show ours";
    for (const auto &s : started) EXPECT_EQ(tasksNamed(tasks, s.task, s.pid), 1) << s.task << "\n" << tasks;
    EXPECT_TRUE(holds(tasks, std::to_string(getpid()) + " sorvik_process_tests\n")) << "the test itself runs";
    EXPECT_FALSE(holds(tasks, " kthreadd\n")) << "kernel threads have no executable";
}

TEST_F(Census, RecountsCountRunningCopies) {
    for (int i = 0; i < 3; ++i) sleepers.start(kReport);
    sleepers.start(k15);
    const pid_t longer = sleepers.start(kLong);
    sleepers.start(kLong);

    ProbeSession client;
    EXPECT_EQ(client.ask("is " + kReport), "is " + kReport + " 1");
    EXPECT_EQ(client.ask("can " + kReport), "can " + kReport + " 0") << "3 run, 2 permitted";
    EXPECT_EQ(client.ask("must " + kReport), "must " + kReport + " 0");
    EXPECT_EQ(client.ask("can " + k15), "can " + k15 + " 0");
    EXPECT_EQ(client.ask("can " + kLong), "can " + kLong + " 1");
    EXPECT_EQ(client.ask("must " + kIdle), "must " + kIdle + " 1") << "nothing by that name runs";

    const std::string refreshed = probe({"refresh", "dump"});
    EXPECT_TRUE(holds(refreshed, "0|" + kReport + "|" + kReport + "|min=1|permit=2|exe=3|")) << refreshed;
    EXPECT_TRUE(holds(refreshed, "2|" + kLong + "|" + kLong + "|min=0|permit=3|exe=2|")) << refreshed;
    const std::string withDirectory = "3|C:\\apps\\" + kReport + "|" + kReport + "|min=0|permit=9|exe=";
    EXPECT_TRUE(holds(refreshed, withDirectory + "3|")) << "by baseName:\n" << refreshed;
    // The single-record recount compares the whole stored name, so it finds
    // no copy for the record with the directory.
    const std::string readded = probe({"add", "C:\\apps\\" + kReport, "0", "9", "0", "0", "dump"});
    EXPECT_TRUE(holds(readded, withDirectory + "0|")) << readded;

    sleepers.stop(longer);
    EXPECT_TRUE(holds(probe({"refresh", "dump"}), "2|" + kLong + "|" + kLong + "|min=0|permit=3|exe=1|"));
}

TEST_F(Census, TwoClientsShareOnePermit) {
    ProbeSession first, second;
    EXPECT_EQ(first.ask("login " + k15), "login " + k15 + " 1");
    EXPECT_EQ(second.ask("login " + k15), "login " + k15 + " 0") << "the one slot is taken";
    EXPECT_EQ(second.ask("logout " + k15), "logout " + k15 + " 0") << "the second holds none";
    EXPECT_EQ(first.ask("logout " + k15), "logout " + k15 + " 1");
    EXPECT_EQ(second.ask("login " + k15), "login " + k15 + " 1");
    EXPECT_EQ(first.ask("login " + k15), "login " + k15 + " 0");
    second.kill();
    EXPECT_EQ(first.ask("login " + k15), "login " + k15 + " 0") << "a dead holder's slot stays counted";
    EXPECT_EQ(first.ask("can " + k15), "can " + k15 + " 1") << "until the record is recounted";
    EXPECT_EQ(first.ask("login " + k15), "login " + k15 + " 1");
}

}  // namespace
}  // namespace sorvik
