// sorvikctl end to end: the tool built for the test site, run as a separate
// program against running copies of controlled programs, its words, its
// JSON and its exit statuses checked.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "support/json_reader.h"
#include "support/probe_session.h"
#include "table/table.h"

namespace sorvik {
namespace {

using test::ProbeSession;
using test::uniqueName;

const std::string kCtl = SORVIKCTL;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The command line, each argument quoted, for messages.
std::string commandLine(const std::vector<std::string> &args) {
    std::string line = "sorvikctl";
    for (const std::string &a : args) line += " '" + a + "'";
    return line;
}

// sorvikctl with `args`, its standard streams as given. LD_LIBRARY_PATH is
// cleared so that the tool loads the test site's library it was linked with
// and no other.
test::Program sorvikctl(const std::vector<std::string> &args) {
    test::Program tool{{kCtl}};
    tool.argv.insert(tool.argv.end(), args.begin(), args.end());
    tool.unset = {"LD_LIBRARY_PATH"};
    return tool;
}

// Runs sorvikctl with `args` to its end, at most a minute.
Outcome ctl(const std::vector<std::string> &args) {
    char pattern[] = "/tmp/sorvikctl-test-XXXXXX";
    const std::string directory = mkdtemp(pattern);
    const std::string outPath = directory + "/out", errPath = directory + "/err";
    test::Program tool = sorvikctl(args);
    tool.out = test::Stream::file(outPath);
    tool.err = test::Stream::file(errPath);
    test::Child child = test::startProgram(tool);
    close(child.fromChild);
    const int status = test::awaitExit(child.pid, std::chrono::minutes(1), commandLine(args));
    Outcome outcome{status, test::readFile(outPath), test::readFile(errPath)};
    std::filesystem::remove_all(directory);
    return outcome;
}

std::string describe(const std::vector<std::string> &args, const Outcome &o) {
    return commandLine(args) + "\nstatus " + std::to_string(o.status) + "\nstdout:\n" + o.out + "stderr:\n" + o.err;
}

class Sorvikctl : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        writeConfig(report + " 1 2 -1 0\n" + viewer + " 0 1 0 0\n");
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::filesystem::remove_all(test::kSiteConfig);
    }
    static void writeConfig(const std::string &text) { test::writeFile(test::kSiteConfig, text); }
    static std::string config() { return test::readFile(test::kSiteConfig); }

    const std::string report = uniqueName("report");
    const std::string viewer = uniqueName("viewer");
    test::Sleepers sleepers;
};

TEST_F(Sorvikctl, ListShowsTheTableWithRecountedCopiesAndLivenessAges) {
    // Sleepers first: a child started later would inherit the holder's input and keep it from ending.
    sleepers.start(report);
    {
        ProbeSession holder({"active", viewer, "msg", viewer, "all_is_well"});
        const Outcome o = ctl({"list"});
        ASSERT_EQ(o.status, 0) << describe({"list"}, o);
        EXPECT_EQ(o.err, "");
        // Columns are as wide as the widest cell; only the age depends on the clock.
        const std::regex expected("#  name         min  permit  running  active   A  B  message\n"
                                  "0  " + report + "    1       2        1  never   -1  0\n"
                                  "1  " + viewer + "    0       1        0  [0-9]s ago   0  0  all_is_well\n");
        EXPECT_TRUE(std::regex_match(o.out, expected)) << o.out;

        EXPECT_EQ(ctl({"reset", viewer}).status, 0);
        const std::string afterReset = ctl({"list"}).out;
        EXPECT_NE(afterReset.find("1  " + viewer + "    0       1        0  reset    0  0\n"), std::string::npos)
            << afterReset;
    }
    writeConfig("");
    test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
    EXPECT_EQ(ctl({"list"}).out, "the table holds no records\n");
}

TEST_F(Sorvikctl, ListJsonParsesBackWithEveryField) {
    sleepers.start(viewer);
    ProbeSession holder({"active", report});
    const std::string awkward = "say \"hi\"\\\tnow";
    ASSERT_EQ(ctl({"msg", viewer, awkward}).status, 0);
    const long before = static_cast<long>(std::time(nullptr));
    const Outcome o = ctl({"list", "--json"});
    ASSERT_EQ(o.status, 0) << describe({"list", "--json"}, o);
    const auto document = test::parseJson(o.out);
    ASSERT_TRUE(document) << "not JSON:\n" << o.out;
    const test::JsonValue &records = (*document)["records"];
    ASSERT_EQ(records.items.size(), 2u) << o.out;

    const test::JsonValue &first = records[0];
    EXPECT_EQ(first["index"].numeric, 0);
    EXPECT_EQ(first["name"].text, report);
    EXPECT_EQ(first["baseName"].text, report);
    EXPECT_EQ(first["min"].numeric, 1);
    EXPECT_EQ(first["permit"].numeric, 2);
    EXPECT_EQ(first["running"].numeric, 0);
    EXPECT_LE(first["activeTime"].numeric, before);
    EXPECT_GE(first["activeTime"].numeric, before - 60);
    EXPECT_TRUE(std::regex_match(first["active"].text, std::regex("[0-9]+s ago"))) << first["active"].text;
    EXPECT_EQ(first["userParamA"].numeric, -1);
    EXPECT_EQ(first["userParamB"].numeric, 0);

    const test::JsonValue &second = records[1];
    EXPECT_EQ(second["name"].text, viewer);
    EXPECT_EQ(second["running"].numeric, 1) << "the sleeper is counted";
    EXPECT_EQ(second["activeTime"].numeric, 0);
    EXPECT_EQ(second["active"].text, "never");
    EXPECT_EQ(second["message"].text, awkward);
}

// The steps run in order on one table, with two copies of `report` running.
TEST_F(Sorvikctl, AdministrationAnswersInWordsWithTheResultCodeAsExitStatus) {
    sleepers.start(report);
    sleepers.start(report);
    const std::string nothing = uniqueName("nothing");
    const std::string newcomer = uniqueName("newcomer");
    const std::string longName(100, 'x');
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::string twoRun = "refused: 2 copies of " + report + " are running";
    const std::vector<Step> steps{
        {{"modify", report, "0", "1"}, 1, "", twoRun + ", more than the 1 permitted\n"},
        {{"modify", report, "0", "-1"}, 1, "", twoRun + ", and none is permitted\n"},
        {{"modify", viewer, "0", "-1"}, 0, "changed " + viewer + ": min 0, permit -1\n", ""},
        {{"modify", report, "0", "2"}, 0, "changed " + report + ": min 0, permit 2\n", ""},
        {{"add", report, "1", "1", "5", "6"}, 1, "", twoRun + ", more than the 1 permitted\n"},
        {{"delete", report}, 1, "", twoRun + "\n"},
        {{"delete", nothing}, 2, "", "no record named " + nothing + "\n"},
        {{"modify", nothing, "0", "1"}, 2, "", "no record named " + nothing + "\n"},
        {{"add", "two words", "0", "1"}, 2, "", "the name cannot be stored: it holds white space\n"},
        {{"add", "", "0", "1"}, 2, "", "the name cannot be stored: it is empty\n"},
        {{"add", "tools\\", "0", "1"},
         2,
         "",
         "the name cannot be stored: it ends in a backslash, so its base name would be empty\n"},
        {{"add", longName, "0", "1"}, 2, "", "the name cannot be stored: it is 100 characters long, over 99\n"},
        {{"add", newcomer, "0", "3"}, 0, "added " + newcomer + ": min 0, permit 3, A -1, B 0\n", ""},
        {{"add", newcomer, "1", "4", "7", "-8"}, 0, "updated " + newcomer + ": min 1, permit 4, A 7, B -8\n", ""},
        {{"delete", viewer}, 0, "deleted " + viewer + "\n", ""},
    };
    for (const Step &step : steps) {
        const Outcome o = ctl(step.args);
        EXPECT_EQ(o.status, step.status) << describe(step.args, o);
        EXPECT_EQ(o.out, step.out) << describe(step.args, o);
        EXPECT_EQ(o.err, step.err) << describe(step.args, o);
    }
    EXPECT_EQ(config(), report + "    0\t2   -1   0\r\n" + newcomer + "    1\t4   7   -8\r\n");
}

TEST_F(Sorvikctl, AdditionToAFullTableIsRefusedAsFull) {
    std::string full;
    for (int i = 0; i < 350; ++i) full += "p" + std::to_string(i) + " 0 1 0 0\n";
    writeConfig(full);
    const Outcome o = ctl({"add", uniqueName("extra"), "0", "1"});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_EQ(o.err, "the table is full (350 records)\n");
    EXPECT_EQ(config(), full);
}

TEST_F(Sorvikctl, AChangeThatCannotBeSavedSaysWhyAndStaysInTheTable) {
    // Root may write anywhere; a link to a file in a directory that is not
    // there stops the save all the same (and reads as no file at all).
    std::filesystem::remove(test::kSiteConfig);
    std::filesystem::create_symlink(test::kSiteConfig + ".gone/Sorvik.sys", test::kSiteConfig);
    ProbeSession holder;
    const std::string name = uniqueName("unsaved");
    const Outcome o = ctl({"add", name, "0", "1"});
    EXPECT_EQ(o.status, 3) << describe({"add", name}, o);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "added, but " + test::kSiteConfig +
                         " could not be written: No such file or directory; the change is in the shared table and will be "
                         "saved with the next change that can be written\n");
    EXPECT_NE(ctl({"list"}).out.find("0  " + name + "    0       1"), std::string::npos) << ctl({"list"}).out;
    EXPECT_EQ(ctl({"delete", name}).err.rfind("deleted, but ", 0), 0u);
}

// sorvikctl run as a program, bounded in time, its two outputs as one.
Outcome ctlWithin(const std::vector<std::string> &args) {
    std::vector<std::string> argv{"/usr/bin/env", "-u", "LD_LIBRARY_PATH", "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                  kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome o;
    o.out = test::runProgram(argv, &o.status, std::chrono::seconds(10));
    return o;
}

TEST_F(Sorvikctl, ATableLoadedWithoutItsFileSaysSoAndNeverSaves) {
    struct Case {
        const char *what;
        std::function<void()> arrange;
        std::string reason;
    } cases[] = {
        {"a FIFO", [] { ASSERT_EQ(mkfifo(test::kSiteConfig.c_str(), 0600), 0); },
         "it is not a regular file (a FIFO, a device or a socket)"},
        {"a directory", [] { std::filesystem::create_directory(test::kSiteConfig); }, "it is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::filesystem::remove_all(test::kSiteConfig);
        c.arrange();
        const Outcome help = ctlWithin({"--help"});
        EXPECT_EQ(help.status, 0) << "sorvikctl --help did not end:\n" << help.out;
        {
            ProbeSession holder;  // keeps the table that was loaded without the file
            const Outcome list = ctlWithin({"list"});
            EXPECT_EQ(list.status, 0) << list.out;
            EXPECT_EQ(list.out.rfind("the table could not be read from " + test::kSiteConfig + ": " + c.reason +
                                         ". A table loaded while it could not be read lacks its records",
                                     0),
                      0u)
                << list.out;
            const std::string name = uniqueName("unsaved");
            const Outcome add = ctlWithin({"add", name, "0", "1"});
            EXPECT_EQ(add.status, 3) << add.out;
            EXPECT_EQ(add.out.rfind("added in the shared table, but " + test::kSiteConfig + " was not saved: " +
                                        c.reason + " (",
                                    0),
                      0u)
                << add.out;
        }
        struct stat st;
        ASSERT_EQ(lstat(test::kSiteConfig.c_str(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode)) << "the save replaced what was there";
    }
    std::filesystem::remove_all(test::kSiteConfig);
}

TEST_F(Sorvikctl, ARecordWhoseNameTheFileCannotHoldIsNamedAndNothingIsSaved) {
    const std::string before = config();
    struct Case {
        const char *written;
        std::string said;
    } cases[] = {
        {"my tool", "record 1 is named \"my tool\", which holds white space"},
        {"", "record 1 has an empty name"},
        {"-", "record 1 has a name of 100 characters without a terminator (it begins \"nnnnnnnnnnnnnnnnnnnn\")"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written);
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        ProbeSession holder({"name", "1", c.written});
        const std::string name = uniqueName("added");
        const Outcome add = ctlWithin({"add", name, "0", "1"});
        EXPECT_EQ(add.status, 3) << add.out;
        EXPECT_EQ(add.out, "added, but " + test::kSiteConfig + " was not saved: " + c.said +
                               ", which the file cannot hold; nothing is saved until that record is given a name of "
                               "1 to 99 characters without white space\n");
        EXPECT_EQ(config(), before);
    }
}

TEST_F(Sorvikctl, QuestionsAnswerWithTheirExitStatus) {
    const std::string unknown = uniqueName("unknown");
    struct Case {
        int running;
        std::string command;
        int status;  // 0 yes, 1 no
        std::string words;
    };
    // `report` has min 1 and permit 2.
    const std::vector<Case> cases{
        {0, "can-execute", 0, "yes: no copy of " + report + " running, 2 permitted"},
        {0, "is-executing", 1, "no: no copy of " + report + " running"},
        {0, "must-reexecute", 0, "yes: no copy of " + report + " running, the minimum is 1"},
        {1, "can-execute", 0, "yes: 1 copy of " + report + " running, 2 permitted"},
        {1, "is-executing", 0, "yes: 1 copy of " + report + " running"},
        {1, "must-reexecute", 1, "no: 1 copy of " + report + " running, the minimum is 1"},
        {2, "can-execute", 1, "no: 2 copies of " + report + " running, 2 permitted"},
        {2, "is-executing", 0, "yes: 2 copies of " + report + " running"},
        {2, "must-reexecute", 1, "no: 2 copies of " + report + " running, the minimum is 1"},
    };
    int running = 0;
    for (const Case &c : cases) {
        for (; running < c.running; ++running) sleepers.start(report);
        const Outcome o = ctl({c.command, report});
        EXPECT_EQ(o.status, c.status) << describe({c.command, report}, o);
        EXPECT_EQ(o.out, c.words + "\n") << describe({c.command, report}, o);
    }
    const struct {
        std::string command;
        int status;
        std::string words;
    } unknowns[] = {
        {"can-execute", 0, "yes: no record named " + unknown + " limits it\n"},
        {"is-executing", 1, "no: no record named " + unknown + "\n"},
        {"must-reexecute", 1, "no: no record named " + unknown + "\n"},
    };
    for (const auto &u : unknowns) {
        const Outcome o = ctl({u.command, unknown});
        EXPECT_EQ(o.status, u.status) << describe({u.command, unknown}, o);
        EXPECT_EQ(o.out, u.words);
    }
}

TEST_F(Sorvikctl, LivenessMessagesAndResetReachTheSharedTable) {
    ProbeSession holder;
    const long before = static_cast<long>(std::time(nullptr));
    const Outcome active = ctl({"active", viewer});
    EXPECT_EQ(active.status, 0) << active.err;
    EXPECT_EQ(active.out.rfind(viewer + " reported alive at ", 0), 0u) << active.out;
    const Outcome msg = ctl({"msg", viewer, "a message too long to keep"});
    EXPECT_EQ(msg.status, 0);
    EXPECT_EQ(msg.out, "left the message \"a message too long \" for " + viewer + " (cut to 19 characters)\n");

    auto record = [&] { return test::parseJson(ctl({"list", "--json"}).out).value()["records"][1]; };
    EXPECT_GE(record()["activeTime"].numeric, before);
    EXPECT_EQ(record()["message"].text, "a message too long ");

    const Outcome reset = ctl({"reset", viewer});
    EXPECT_EQ(reset.status, 0);
    EXPECT_EQ(reset.out, "reset " + viewer + ": running count 0, no message, liveness \"reset\"\n");
    EXPECT_EQ(record()["active"].text, "reset");
    EXPECT_EQ(record()["message"].text, "");

    const std::string nothing = uniqueName("nothing");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"active", nothing}, {"msg", nothing, "hello"}, {"reset", nothing}}) {
        const Outcome o = ctl(args);
        EXPECT_EQ(o.status, 2) << describe(args, o);
        EXPECT_EQ(o.err, "no record named " + nothing + "; nothing changed\n");
    }
}

TEST_F(Sorvikctl, UsageErrorsNameTheFaultAndChangeNothing) {
    ProbeSession holder;
    const std::string before = config();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "sorvikctl: no command given"},
        {{"bogus"}, "sorvikctl: unknown command 'bogus'"},
        {{"add", report, "one", "2"}, "sorvikctl add: MIN: 'one' is not a whole number"},
        {{"add", report, "0"}, "sorvikctl add: PERMIT is required"},
        {{"add", report, "0", "5", "1", "2", "3"}, "sorvikctl add: The following argument was not expected: 3"},
        {{"add", report, "0", "5", "x"}, "sorvikctl add: A: 'x' is not a whole number"},
        {{"modify", report, "0", "99999999999"}, "sorvikctl modify: PERMIT: '99999999999' is out of range"},
        {{"delete"}, "sorvikctl delete: NAME is required"},
        {{"msg", viewer}, "sorvikctl msg: TEXT is required"},
        {{"watch", "--count", "two"}, "sorvikctl watch: --count: 'two' is not a whole number"},
        {{"watch", "--count", "0"}, "sorvikctl watch: --count: '0' is not above 0"},
        {{"watch", "--interval", "-1"},
         "sorvikctl watch: --interval: '-1' is not a number of seconds above 0 and at most 86400"},
        {{"list", "--bogus"}, "sorvikctl list: The following argument was not expected: --bogus"},
    };
    for (const auto &c : cases) {
        const Outcome o = ctl(c.args);
        EXPECT_EQ(o.status, 64) << describe(c.args, o);
        EXPECT_EQ(o.out, "") << describe(c.args, o);
        const std::string command = c.message.substr(0, c.message.find(':'));
        EXPECT_EQ(o.err, c.message + "\nTry '" + command + " --help' for usage.\n") << describe(c.args, o);
    }
    EXPECT_EQ(config(), before);
    const test::JsonValue first = test::parseJson(ctl({"list", "--json"}).out).value()["records"][0];
    EXPECT_EQ(first["min"].numeric, 1);
    EXPECT_EQ(first["permit"].numeric, 2);
}

TEST_F(Sorvikctl, EveryCommandHasHelp) {
    for (const std::string command : {"list", "tasks", "controlled", "watch", "add", "modify", "delete",
                                      "can-execute", "is-executing", "must-reexecute", "active", "msg", "reset"}) {
        const Outcome o = ctl({command, "--help"});
        EXPECT_EQ(o.status, 0) << describe({command, "--help"}, o);
        EXPECT_EQ(o.out.find("Usage: sorvikctl " + command + " "), o.out.find('\n') + 1) << o.out;
    }
    const Outcome top = ctl({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char *command : {"list", "add", "can-execute", "watch"})
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << top.out;
}

TEST_F(Sorvikctl, WatchRedrawsTheTableForTheCountGiven) {
    sleepers.start(report);
    const Outcome o = ctl({"watch", "--count", "2", "--interval", "0.1"});
    ASSERT_EQ(o.status, 0) << o.err;
    // Not a terminal: the frames follow each other instead of clearing the screen.
    const std::regex frame("Sorvik table at [0-9]{2}:[0-9]{2}:[0-9]{2}, every 0.1s\n\n"
                           "#  name         min  permit  running  active   A  B  message\n"
                           "0  " + report + "    1       2        1  never   -1  0\n"
                           "1  " + viewer + "    0       1        0  never    0  0\n");
    const size_t second = o.out.find("\nSorvik table at ");
    ASSERT_NE(second, std::string::npos) << o.out;
    EXPECT_TRUE(std::regex_match(o.out.substr(0, second), frame)) << o.out;
    EXPECT_TRUE(std::regex_match(o.out.substr(second + 1), frame)) << o.out;
}

// Reads from `fd` until `text` has appeared `times` times, the other end
// closes, or ten seconds pass without output; all that was read.
std::string readUntil(int fd, const std::string &text, int times = 1) {
    std::string seen;
    char buffer[4096];
    auto found = [&] {
        int count = 0;
        for (size_t at = seen.find(text); at != std::string::npos; at = seen.find(text, at + 1)) ++count;
        return count;
    };
    while (found() < times) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 10000) <= 0) break;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        seen.append(buffer, static_cast<size_t>(got));
    }
    return seen;
}

TEST_F(Sorvikctl, WatchOnATerminalRedrawsInPlaceUntilInterrupted) {
    test::Program watch = sorvikctl({"watch", "--interval", "0.2"});
    watch.in = watch.out = watch.err = test::Stream::inherit();
    watch.onTerminal = true;
    const test::Child tool = test::startProgram(watch);
    ASSERT_GE(tool.pid, 0);
    const pid_t pid = tool.pid;
    const int terminal = tool.fromChild;
    const std::string lastRow = viewer + "    0       1        0  never    0  0\r\n";
    const std::string shown = readUntil(terminal, lastRow, 2);
    kill(pid, SIGINT);
    readUntil(terminal, "never reached: read to the end");
    close(terminal);
    const int status = test::awaitExit(pid, std::chrono::seconds(10), "sorvikctl watch, interrupted");
    EXPECT_EQ(status, 0) << "Ctrl-C ends the watch normally";
    const std::string clear = "\033[H\033[2J";
    const size_t second = shown.find(clear, 1);
    ASSERT_NE(second, std::string::npos) << shown;
    for (const std::string &frame : {shown.substr(0, second), shown.substr(second)}) {
        EXPECT_EQ(frame.find(clear + "Sorvik table at "), 0u) << "each frame clears the screen first:\n" << frame;
        EXPECT_NE(frame.find(", every 0.2s (Ctrl-C to stop)\r\n"), std::string::npos) << frame;
        EXPECT_NE(frame.find(lastRow), std::string::npos) << frame;
    }
}

TEST_F(Sorvikctl, ACommandWaitingLongForTheLockSaysWhichProcessHoldsIt) {
    // A holder stopped in the middle of a call, as by Ctrl-Z or a debugger.
    test::Child holder = test::forkChild([](int out) {
        Client mine;
        if (!attach(&mine, Site{test::kSiteConfig.c_str(), test::kSiteRegion.c_str(), test::kSiteRunDir.c_str()})) return 1;
        TableLock lock(&mine);
        test::sendLine(out, "holding");
        raise(SIGSTOP);
        return lock.table() ? 0 : 2;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(holder, &line)) << "the holder did not start";
    ASSERT_TRUE(test::awaitStop(holder.pid, std::chrono::seconds(10), "the holder"));

    test::Program list = sorvikctl({"list"});
    list.out = test::Stream::null();
    list.err = test::Stream::toParent();
    test::Child tool = test::startProgram(list);
    const std::string said = "held by process " + std::to_string(holder.pid);
    std::string shown = readUntil(tool.fromChild, said);
    EXPECT_NE(shown.find(said), std::string::npos) << "nothing said within ten seconds; stderr:\n" << shown;
    EXPECT_EQ(waitpid(tool.pid, nullptr, WNOHANG), 0) << "the command keeps waiting";

    kill(holder.pid, SIGCONT);
    EXPECT_EQ(test::waitChild(&holder), 0);
    shown += readUntil(tool.fromChild, "never reached: read to the end");
    const int status = test::awaitExit(tool.pid, std::chrono::seconds(10), "sorvikctl list, once the lock was free");
    close(tool.fromChild);
    EXPECT_EQ(status, 0) << "stderr:\n" << shown;
    EXPECT_EQ(shown.find(said), shown.rfind(said)) << "said once:\n" << shown;
}

// The task lists hold the first 500 processes only.
bool crowded(const std::string &tasksJson) {
    const auto document = test::parseJson(tasksJson);
    return document && (*document)["tasks"].items.size() >= 500;
}

TEST_F(Sorvikctl, TasksListRunningProcessesWithTheirWindows) {
    const std::string task = uniqueName("tasker");
    const pid_t pid = sleepers.start(task);
    const Outcome json = ctl({"tasks", "--json"});
    ASSERT_EQ(json.status, 0);
    const auto document = test::parseJson(json.out);
    ASSERT_TRUE(document) << json.out;
    if (crowded(json.out)) GTEST_SKIP() << "more than 500 processes run; the list cannot show ours";
    int seen = 0;
    for (const test::JsonValue &t : (*document)["tasks"].items)
        if (t["pid"].numeric == pid) {
            ++seen;
            EXPECT_EQ(t["name"].text, task);
            EXPECT_EQ(t["window"].numeric, 0) << "no window system here";
            EXPECT_EQ(t["title"].text, "");
        }
    EXPECT_EQ(seen, 1) << json.out;

    const Outcome text = ctl({"tasks"});
    EXPECT_EQ(text.out.find("pid  window  name"), text.out.find_first_not_of(' ')) << text.out;
    EXPECT_TRUE(std::regex_search(text.out, std::regex("\n *" + std::to_string(pid) + "  0x0 +" + task + "\n")))
        << text.out;
}

// Parses `json` as a strict reader does: the bytes must be UTF-8 and the text
// one JSON document. The names found at `path` (a Python expression on the
// document `d`), restored from the documented escaping, one a line.
std::string strictNames(const std::string &json, const std::string &path) {
    char pattern[] = "/tmp/sorvikctl-json-XXXXXX";
    const std::string directory = mkdtemp(pattern);
    test::writeFile(directory + "/in", json);
    const std::string script =
        "import json, re, sys\n"
        "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8', 'strict'))\n"
        "for name in " + path + ":\n"
        "    raw = re.sub(rb'\\\\x([0-9a-fA-F]{2})', lambda m: bytes([int(m.group(1), 16)]), name.encode('utf-8'))\n"
        "    sys.stdout.buffer.write(raw + b'\\n')\n";
    test::writeFile(directory + "/check.py", script);
    const std::string command = "python3 " + directory + "/check.py " + directory + "/in > " + directory + "/out 2>&1";
    const int status = std::system(command.c_str());
    const std::string out = test::readFile(directory + "/out");
    std::filesystem::remove_all(directory);
    return status == 0 ? out : "not valid JSON: " + out;
}

TEST_F(Sorvikctl, JsonHoldsEveryByteOfNamesMessagesAndTitles) {
    // Bytes that no UTF-8 reader takes, and (in the message, since a name's
    // backslash divides it) a backslash that reads like the escaping itself.
    const std::string hostile = uniqueName("bytes") + "\xff\xc0\xaf\xed\xa0\x80\xe2\x82";
    const std::string message = std::string("\xfe\\x7f\x01") + "\xc3\xa9";
    writeConfig(hostile + " 0 5 0 0\n");
    const pid_t pid = sleepers.start(hostile);
    ProbeSession holder;  // keeps the table, and the message in it, between the calls
    ASSERT_EQ(ctl({"msg", hostile, message}).status, 0);

    EXPECT_EQ(strictNames(ctl({"list", "--json"}).out,
                          "[r['name'] for r in d['records']] + [d['records'][0]['message']]"),
              hostile + "\n" + message + "\n");
    const std::string tasks = ctl({"tasks", "--json"}).out;
    if (crowded(tasks)) GTEST_SKIP() << "more than 500 processes run; the list cannot show ours";
    EXPECT_EQ(strictNames(tasks, "[t['name'] for t in d['tasks'] if t['pid'] == " + std::to_string(pid) + "]"),
              hostile + "\n");
    EXPECT_EQ(strictNames(ctl({"controlled", "--json"}).out, "[t['name'] for t in d['tasks']]"), hostile + "\n");
}

TEST_F(Sorvikctl, ControlledListsOnlyTheProgramsTheTableHolds) {
    const pid_t second = sleepers.start(viewer);
    const pid_t first = sleepers.start(report);
    sleepers.start(uniqueName("stranger"));
    const Outcome json = ctl({"controlled", "--json"});
    ASSERT_EQ(json.status, 0);
    if (crowded(ctl({"tasks", "--json"}).out)) GTEST_SKIP() << "more than 500 processes run";
    const auto document = test::parseJson(json.out);
    ASSERT_TRUE(document) << json.out;
    const test::JsonValue &tasks = (*document)["tasks"];
    ASSERT_EQ(tasks.items.size(), 2u) << json.out;
    EXPECT_EQ(tasks[0]["pid"].numeric, first) << "sorted by name";
    EXPECT_EQ(tasks[0]["name"].text, report);
    EXPECT_EQ(tasks[1]["pid"].numeric, second);
    EXPECT_EQ(tasks[1]["name"].text, viewer);

    const Outcome text = ctl({"controlled"});
    EXPECT_TRUE(std::regex_search(text.out, std::regex(std::to_string(first) + "  0x0 +" + report + "\n")))
        << text.out;
    sleepers.stop(first);
    sleepers.stop(second);
    EXPECT_EQ(ctl({"controlled"}).out, "no process of a controlled program runs\n");
}

TEST_F(Sorvikctl, ACommandWithoutTheSharedTableSaysWhatIsWrongAndChangesNothing) {
    namespace fs = std::filesystem;
    const std::string runDir = test::kSiteRunDir;
    const std::string aside = runDir + ".aside";
    struct Case {
        const char *what;
        void (*spoil)(const std::string &runDir, const std::string &aside);
        void (*mend)(const std::string &runDir, const std::string &aside);
        const char *says;
    };
    const Case cases[] = {
        {"no run directory", [](const std::string &d, const std::string &a) { fs::rename(d, a); },
         [](const std::string &d, const std::string &a) { fs::rename(a, d); }, ": the directory does not exist; "},
        {"a run directory everyone may write", [](const std::string &d, const std::string &) { chmod(d.c_str(), 0777); },
         [](const std::string &d, const std::string &) { chmod(d.c_str(), 0755); },
         ": users outside its group may write the directory; as root, run: chmod o-w "},
    };
    const std::string before = config();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil(runDir, aside);
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"list"}, {"add", "intruder", "0", "1"}, {"delete", viewer}, {"can-execute", viewer}}) {
            const Outcome o = ctl(args);
            EXPECT_EQ(o.status, 69) << describe(args, o);
            EXPECT_EQ(o.out, "") << describe(args, o);
            EXPECT_EQ(o.err.rfind("sorvikctl: cannot open the shared table in " + runDir + c.says, 0), 0u)
                << describe(args, o);
        }
        c.mend(runDir, aside);
        EXPECT_EQ(config(), before) << "nothing was saved";
    }
    EXPECT_EQ(ctl({"delete", viewer}).status, 0) << "the same commands work once the directory is mended";
}

}  // namespace
}  // namespace sorvik
