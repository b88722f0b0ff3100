// Counting real processes: copies of the sleeper under the names of
// controlled programs, seen through the test site's library.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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

// The state letter of a process, from /proc/PID/stat; '?' when it is gone.
char stateOf(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

void awaitState(pid_t pid, char state) {
    for (int i = 0; i < 500 && stateOf(pid) != state; ++i) usleep(10000);
    ASSERT_EQ(stateOf(pid), state) << "process " << pid << " never reached state " << state;
}

// What happens to programs on every production machine: upgraded while they
// run, ending their main thread early, named as Linux allows. Each is
// counted and listed under its own name, as pgrep finds it; a process that
// has ended is not.
TEST_F(Census, ProgramsInEveryStateOfLifeAreCountedUnderTheirOwnNames) {
    const std::string replaced = test::uniqueName("report_generator_replaced");  // cut by the kernel
    const std::string deleted = test::uniqueName("report_generator_deleted");
    const std::string marked = test::uniqueName("really_called") + " (deleted)";  // a file's own name
    const std::string threaded = test::uniqueName("main_thread_ended_early");
    const std::string shortThreaded = test::uniqueName("thr");
    const std::string backslashed = "evil\\" + kReport;
    const std::string ended = test::uniqueName("ended_unreaped");
    test::writeFile(test::kSiteConfig, replaced + " 0 5 0 0\n" + deleted + " 0 5 0 0\n" + threaded + " 0 5 0 0\n" +
                                           shortThreaded + " 0 5 0 0\n" + kReport + " 0 5 0 0\n" + ended +
                                           " 0 5 0 0\n");

    const pid_t replacedPid = sleepers.start(replaced);
    const std::string fresh = sleepers.path("fresh");
    std::filesystem::copy_file(sleepers.path(replaced), fresh);
    ASSERT_EQ(std::rename(fresh.c_str(), sleepers.path(replaced).c_str()), 0) << "an upgrade replaces the file";
    const pid_t deletedPid = sleepers.start(deleted);
    ASSERT_EQ(std::remove(sleepers.path(deleted).c_str()), 0);
    const pid_t markedPid = sleepers.start(marked);
    const pid_t threadedPid = sleepers.start(threaded, {"leader-exits"});
    const pid_t shortThreadedPid = sleepers.start(shortThreaded, {"leader-exits"});
    awaitState(threadedPid, 'Z');
    awaitState(shortThreadedPid, 'Z');
    const pid_t reportPid = sleepers.start(kReport);
    const pid_t backslashedPid = sleepers.start(backslashed);
    const pid_t endedPid = sleepers.start(ended);
    ASSERT_EQ(kill(endedPid, SIGKILL), 0);
    awaitState(endedPid, 'Z');

    const std::string counted = probe({"refresh", "dump"});
    const struct {
        std::string name;
        int copies;
    } counts[] = {{replaced, 1}, {deleted, 1}, {threaded, 1}, {shortThreaded, 1}, {kReport, 1}, {ended, 0}};
    for (const auto &c : counts) {
        const std::string exe = "|min=0|permit=5|exe=" + std::to_string(c.copies) + "|";
        EXPECT_TRUE(holds(counted, "|" + c.name + "|" + c.name + exe)) << c.name << "\n" << counted;
        // The single-record recount behind every question sees the same.
        EXPECT_EQ(probe({"is", c.name}), "is " + c.name + " " + std::to_string(c.copies) + "\n") << c.name;
    }

    const std::string tasks = probe({"tasks"});
    EXPECT_TRUE(holds(tasks, "\nleftovers 0, no list 0\n")) << "every field of an entry is written:\n" << tasks;
    if (holds(tasks, "\ntasks 500\n")) GTEST_SKIP() << "more than 500 processes run; the list cannot show ours";
    const struct {
        std::string name;
        pid_t pid;
    } listed[] = {{replaced, replacedPid},       {deleted, deletedPid},       {marked, markedPid},
                  {threaded, threadedPid},       {shortThreaded, shortThreadedPid}, {kReport, reportPid},
                  {backslashed, backslashedPid}};
    for (const auto &l : listed) EXPECT_EQ(tasksNamed(tasks, l.name, l.pid), 1) << l.name << "\n" << tasks;
    EXPECT_FALSE(holds(tasks, "\n" + std::to_string(endedPid) + " ")) << "an ended process is not listed\n" << tasks;
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
