// Administration, liveness and messages through the real sorvik.dll: the
// probe beside the test site's DLL, against running copies of the helper
// program under the table's names, with the file checked byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/windows_support.h"
#include "table/table.h"

namespace sorvik {
namespace {

const std::string kProbe = SORVIK_PROBE;
const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;
const std::string kOriginal = "SvkReport 1 2 -1 0\r\nviewer 0 1 0 0\r\n";

bool holds(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// One run of the probe, which must end well; what it printed.
std::string probe(const std::vector<std::string> &commands) {
    int64_t status = -2;
    const std::string out = wintest::runProgram(kProbe, commands, &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

// The files beside the test site's configuration file that a save left.
std::vector<std::string> temporariesBesideTheFile() {
    const size_t slash = kSiteConfig.find_last_of("\\/");
    std::vector<std::string> left;
    for (const std::string &name : wintest::filesIn(kSiteConfig.substr(0, slash)))
        if (name.find(".sorvik-tmp.") != std::string::npos) left.push_back(name);
    return left;
}

// What keeps the test site's file from being replaced, for as long as the
// Held lives (and, for the attribute, until a test clears it).
struct Obstacle {
    const char *what;
    std::function<wintest::Held()> obstruct;
};
const Obstacle kObstacles[] = {
    {"the file is read-only",
     [] {
         EXPECT_TRUE(wintest::setReadOnly(kSiteConfig, true));
         return wintest::Held();
     }},
    {"the file is open without delete sharing", [] { return wintest::openWithoutSharing(kSiteConfig); }},
};

// The activeTime another process sees in the dump line that begins `line`.
long activeTimeIn(const std::string &dump, const std::string &line) {
    const size_t at = dump.find(line);
    EXPECT_NE(at, std::string::npos) << dump;
    const size_t field = at == std::string::npos ? at : dump.find("|active=", at);
    return field == std::string::npos ? -2 : std::stol(dump.substr(field + 8));
}

class Administration : public ::testing::Test {
  protected:
    void SetUp() override { wintest::writeFile(kSiteConfig, kOriginal); }
    void TearDown() override {
        wintest::setReadOnly(kSiteConfig, false);
        std::remove(kSiteConfig.c_str());
    }
    std::string file() const { return wintest::readFile(kSiteConfig); }
    // A running copy of the helper program as `name`.exe, until the test ends.
    wintest::Child *startCopy(const std::string &name) {
        const std::string path = scratch.directory + "\\" + name + ".exe";
        if (!wintest::fileExists(path)) {
            EXPECT_TRUE(wintest::copyFile(wintest::besideThisProgram(SORVIK_HELPER), path));
        }
        copies.push_back(wintest::startHolding(path, {}, nullptr));
        return copies.back().get();
    }

    wintest::ScratchSite scratch;  // for its directory
    std::vector<std::unique_ptr<wintest::Child>> copies;  // ended before their files go
};

TEST_F(Administration, ChangesAreRefusedWhileCopiesRunThatContradictThem) {
    startCopy("SvkReport");
    wintest::Child *second = startCopy("SvkReport");
    wintest::Session admin(kProbe);
    EXPECT_EQ(admin.ask("modify SvkReport 0 1"), "modify SvkReport 1");
    EXPECT_EQ(file(), kOriginal) << "a refusal writes nothing";
    EXPECT_EQ(admin.ask("modify svkreport 0 2"), "modify svkreport 0") << "equal to the running copies is allowed";
    EXPECT_EQ(file(), "SvkReport    0\t2   -1   0\r\nviewer    0\t1   0   0\r\n");
    EXPECT_EQ(admin.ask("add SvkReport 1 1 5 6"), "add SvkReport 1");
    EXPECT_EQ(admin.ask("delete SvkReport"), "delete SvkReport 1");
    EXPECT_EQ(file(), "SvkReport    0\t2   -1   0\r\nviewer    0\t1   0   0\r\n");

    second->closeInput();
    EXPECT_EQ(second->wait(), 0);
    EXPECT_EQ(admin.ask("add SVKREPORT 1 1 5 6"), "add SVKREPORT 0");
    EXPECT_EQ(file(), "SvkReport    1\t1   5   6\r\nviewer    0\t1   0   0\r\n") << "the stored name keeps its case";
    EXPECT_EQ(admin.ask("delete SvkReport"), "delete SvkReport 1") << "one copy still runs";
    EXPECT_EQ(admin.ask("delete viewer"), "delete viewer 0");
    EXPECT_EQ(file(), "SvkReport    1\t1   5   6\r\n");
    EXPECT_EQ(admin.ask("delete viewer"), "delete viewer 2");
    EXPECT_EQ(admin.ask("add newcomer 0 3 -1 0"), "add newcomer 0");
    EXPECT_EQ(file(), "SvkReport    1\t1   5   6\r\nnewcomer    0\t3   -1   0\r\n");

    // Every process sees the changes at once, the last recount included.
    const std::string seen = probe({"dump"});
    EXPECT_TRUE(holds(seen, "count 2\n0|SvkReport|SvkReport|min=1|permit=1|exe=1|active=0|a=5|b=6|preset=100|"))
        << seen;
    EXPECT_TRUE(holds(seen, "1|newcomer|newcomer|min=0|permit=3|exe=0|active=0|a=-1|b=0|preset=100|")) << seen;
}

TEST_F(Administration, ChangesWithoutATargetOrWithoutRoomChangeNothing) {
    std::string full;
    for (int i = 0; i < SORVIK_MAX_RECORDS; ++i) full += "svk" + std::to_string(i) + " 0 1 0 0\r\n";
    const std::string tooLong(100, 'n');
    struct Case {
        const char *what;
        std::string config;
        std::string command;
        std::string answer;
        std::string count;  // the table's size after it, as another process sees it
    } cases[] = {
        {"modify of a name no record has", kOriginal, "modify absent 0 1", "modify absent 2", "count 2\n"},
        {"delete of a name no record has", kOriginal, "delete absent", "delete absent 2", "count 2\n"},
        {"a new name on a full table", full, "add newcomer 0 1 -1 0", "add newcomer 2", "count 350\n"},
        {"a name too long to store", kOriginal, "add " + tooLong + " 0 1 -1 0", "add " + tooLong + " 2", "count 2\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        wintest::writeFile(kSiteConfig, c.config);
        wintest::Session admin(kProbe);
        EXPECT_EQ(admin.ask(c.command), c.answer);
        const std::string seen = probe({"dump"});
        EXPECT_TRUE(holds(seen, c.count)) << seen.substr(0, 200);
        EXPECT_FALSE(holds(seen, "newcomer")) << seen.substr(0, 200);
        EXPECT_EQ(file(), c.config) << "the file is not written";
    }
}

TEST_F(Administration, AFullTableStillUpdatesTheRecordsItHolds) {
    std::string full, saved;
    for (int i = 0; i < SORVIK_MAX_RECORDS; ++i) {
        const std::string name = "svk" + std::to_string(i);
        full += name + " 0 1 0 0\r\n";
        saved += name + (i == 7 ? "    2\t4   8   9\r\n" : "    0\t1   0   0\r\n");
    }
    wintest::writeFile(kSiteConfig, full);
    wintest::Session admin(kProbe);
    EXPECT_EQ(admin.ask("add SVK7 2 4 8 9"), "add SVK7 0");
    EXPECT_EQ(file(), saved);
}

TEST_F(Administration, ASaveThatFailsKeepsTheChangeAndTheOldFile) {
    for (const Obstacle &c : kObstacles) {
        SCOPED_TRACE(c.what);
        wintest::writeFile(kSiteConfig, kOriginal);
        wintest::Session admin(kProbe);
        {
            const wintest::Held obstacle = c.obstruct();
            EXPECT_EQ(admin.ask("modify viewer 0 4"), "modify viewer 3");
            EXPECT_EQ(admin.ask("add newcomer 0 2 -1 0"), "add newcomer 3");
            const std::string seen = probe({"dump"});
            EXPECT_TRUE(holds(seen, "count 3\n")) << seen;
            EXPECT_TRUE(holds(seen, "1|viewer|viewer|min=0|permit=4|")) << "the change stays in the table:\n" << seen;
            EXPECT_TRUE(holds(seen, "2|newcomer|newcomer|min=0|permit=2|")) << seen;
            EXPECT_EQ(file(), kOriginal) << "the old file is intact";
            EXPECT_EQ(temporariesBesideTheFile(), std::vector<std::string>{}) << "no new file left beside it";
        }
        wintest::setReadOnly(kSiteConfig, false);
        EXPECT_EQ(admin.ask("delete SvkReport"), "delete SvkReport 0");
        EXPECT_EQ(file(), "viewer    0\t4   0   0\r\nnewcomer    0\t2   -1   0\r\n")
            << "the next save takes the earlier changes along";
    }
}

TEST_F(Administration, ASaveThatFailsTellsWhyInTheCallersErrno) {
    // The DLL loaded into this process, which shares its C runtime's errno.
    for (const Obstacle &c : kObstacles) {
        SCOPED_TRACE(c.what);
        wintest::writeFile(kSiteConfig, kOriginal);
        wintest::LoadedLibrary dll(SORVIK_TEST_SITE_DLL);
        ASSERT_TRUE(dll.loaded());
        using Modify = int32_t(SORVIK_CALL *)(const char *, int32_t, int32_t);
        const auto modify = reinterpret_cast<Modify>(dll.find("ModifyOneProcess"));
        ASSERT_NE(modify, nullptr);
        {
            const wintest::Held obstacle = c.obstruct();
            errno = 0;
            EXPECT_EQ(modify("viewer", 0, 4), 3);
            EXPECT_EQ(errno, EACCES) << "the C runtime's number for a file that may not be replaced";
        }
        wintest::setReadOnly(kSiteConfig, false);
        errno = 0;
        EXPECT_EQ(modify("viewer", 0, 5), 0);
        EXPECT_EQ(file(), "SvkReport    1\t2   -1   0\r\nviewer    0\t5   0   0\r\n");
    }
}

TEST_F(Administration, LivenessAndMessagesReachEveryProcess) {
    wintest::Session program(kProbe);
    const long before = static_cast<long>(std::time(nullptr));
    EXPECT_EQ(program.ask("active VIEWER"), "active VIEWER 1") << "names match whatever the case of their letters";
    EXPECT_EQ(program.ask("msg viewer all_is_well"), "msg viewer 1");
    EXPECT_EQ(program.ask("msg SvkReport nineteen_characters_and_more"), "msg SvkReport 1");
    EXPECT_EQ(program.ask("active absent"), "active absent 1") << "a name no record holds changes nothing";
    EXPECT_EQ(program.ask("msg absent text"), "msg absent 1");
    EXPECT_EQ(program.ask("reset absent"), "reset absent 1");

    std::string seen = probe({"dump"});
    const long stamped = activeTimeIn(seen, "1|viewer|viewer|min=0|permit=1|exe=0|");
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, before + 5);
    EXPECT_TRUE(holds(seen, "|msg=all_is_well|")) << seen;
    EXPECT_TRUE(holds(seen, "0|SvkReport|SvkReport|min=1|permit=2|exe=0|active=0|a=-1|b=0|preset=100|"
                            "msg=nineteen_characters|"))
        << "the first 19 characters:\n" << seen;

    EXPECT_EQ(program.ask("login viewer"), "login viewer 1");
    EXPECT_TRUE(holds(probe({"dump"}), "1|viewer|viewer|min=0|permit=1|exe=1|"));
    EXPECT_EQ(probe({"reset", "viewer"}), "reset viewer 1\n");
    seen = probe({"dump"});
    EXPECT_TRUE(holds(seen, "1|viewer|viewer|min=0|permit=1|exe=0|active=-1|a=0|b=0|preset=100|msg=|")) << seen;
    EXPECT_TRUE(holds(seen, "|msg=nineteen_characters|")) << "another record keeps its message:\n" << seen;
    EXPECT_EQ(program.ask("logout viewer"), "logout viewer 0") << "the reset took the slot's copy";
    EXPECT_EQ(program.ask("active viewer"), "active viewer 1");
    EXPECT_GE(activeTimeIn(probe({"dump"}), "1|viewer|viewer|"), before) << "a report after a reset stamps again";
    EXPECT_EQ(file(), kOriginal) << "run-time state never reaches the file";
}

}  // namespace
}  // namespace sorvik
