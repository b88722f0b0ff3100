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

const std::string k15 = "fifteen_letters";                   // exactly the kernel's cut
const std::string kLong = "a_much_longer_program_name";      // cut by the kernel, found again
const std::string kScript = "a_long_shell_script_name.sh";   // runs under its own name

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
        test::removeRegion(test::kSiteRegion);
        test::writeFile(test::kSiteConfig, "report 1 2 -1 0\n" + k15 + " 0 1 0 0\n" + kLong +
                                               " 0 3 0 0\nC:\\apps\\report 0 9 0 0\n" +
                                               "a_long_shell_script_name 0 1 0 0\nidle 1 1 0 0\n");
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRegion);
        std::remove(test::kSiteConfig.c_str());
    }
    test::Sleepers sleepers;
};

TEST_F(Census, TheTaskListNamesRealProcesses) {
    const pid_t report = sleepers.start("report");
    const pid_t fifteen = sleepers.start(k15);
    const pid_t longer = sleepers.start(kLong);
    const pid_t dotted = sleepers.start("archive.tar.gz");
    const pid_t script = sleepers.startScript(kScript, "while :; do sleep 1; done");
    const std::string tasks = probe({"tasks"});
    EXPECT_EQ(tasksNamed(tasks, "report", report), 1) << tasks;
    EXPECT_EQ(tasksNamed(tasks, k15, fifteen), 1) << tasks;
    EXPECT_EQ(tasksNamed(tasks, kLong, longer), 1) << tasks;
    EXPECT_EQ(tasksNamed(tasks, "archive.tar", dotted), 1) << tasks;
    EXPECT_EQ(tasksNamed(tasks, "a_long_shell_script_name", script), 1) << tasks;
    EXPECT_TRUE(holds(tasks, std::to_string(getpid()) + " sorvik_process_tests\n")) << "the test itself runs";
    EXPECT_FALSE(holds(tasks, " kthreadd\n")) << "kernel threads have no executable";
}

TEST_F(Census, RecountsCountRunningCopies) {
    for (int i = 0; i < 3; ++i) sleepers.start("report");
    sleepers.start(k15);
    const pid_t longer = sleepers.start(kLong);
    sleepers.start(kLong);

    ProbeSession client;
    EXPECT_EQ(client.ask("is report"), "is report 1");
    EXPECT_EQ(client.ask("can report"), "can report 0") << "3 run, 2 permitted";
    EXPECT_EQ(client.ask("must report"), "must report 0");
    EXPECT_EQ(client.ask("can " + k15), "can " + k15 + " 0");
    EXPECT_EQ(client.ask("can " + kLong), "can " + kLong + " 1");
    EXPECT_EQ(client.ask("must idle"), "must idle 1") << "nothing named idle runs";

    const std::string refreshed = probe({"refresh", "dump"});
    EXPECT_TRUE(holds(refreshed, "0|report|report|min=1|permit=2|exe=3|")) << refreshed;
    EXPECT_TRUE(holds(refreshed, "2|" + kLong + "|" + kLong + "|min=0|permit=3|exe=2|")) << refreshed;
    EXPECT_TRUE(holds(refreshed, "3|C:\\apps\\report|report|min=0|permit=9|exe=3|")) << "by baseName:\n"
                                                                                       << refreshed;
    EXPECT_EQ(client.ask("can report"), "can report 0");
    // The single-record recount compares the whole stored name.
    EXPECT_TRUE(holds(probe({"is", "report", "dump"}), "3|C:\\apps\\report|report|min=0|permit=9|exe=3|"));

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
