// The real shared library in separate processes: the probe program built
// against the test site's libsorvik.so.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/probe_session.h"
#include "table/table.h"

namespace sorvik {
namespace {

using test::kSiteConfig;
using test::kSiteRegion;
using test::kSiteRunDir;
using test::probe;
using test::ProbeSession;

bool holds(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class SharedLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(kSiteRunDir, kSiteRegion);
        test::writeFile(kSiteConfig, "viewer 1 2 -1 0\nd:\\tools\\editor 0 3 5 7\n");
    }
    void TearDown() override {
        test::removeRegion(kSiteRunDir, kSiteRegion);
        std::remove(kSiteConfig.c_str());
    }
};

TEST_F(SharedLibrary, AForkedChildStartsWithoutItsParentsSlot) {
    // The parent holds a slot of viewer; its child, and then the parent
    // itself, each log in, and out, and show the count.
    const struct {
        const char *permit;
        const char *expected;
    } cases[] = {
        {"2", "login viewer 1\nchild\nlogin viewer 1\nexe 0 2\nlogout viewer 1\nexe 0 1\n"
              "parent\nlogin viewer 0\nexe 0 1\nlogout viewer 1\nexe 0 0\n"},
        {"1", "login viewer 1\nchild\nlogin viewer 0\nexe 0 1\nlogout viewer 0\nexe 0 1\n"
              "parent\nlogin viewer 0\nexe 0 1\nlogout viewer 1\nexe 0 0\n"},
    };
    for (const auto &c : cases) {
        test::removeRegion(test::kSiteRunDir, kSiteRegion);
        test::writeFile(kSiteConfig, std::string("viewer 0 ") + c.permit + " -1 0\n");
        EXPECT_EQ(probe({"login", "viewer", "fork", "login", "viewer", "exe", "0", "logout", "viewer", "exe", "0"}),
                  c.expected)
            << "permit " << c.permit;
    }
}

TEST_F(SharedLibrary, AProcessWhoseSlotWasResetCanTakeOneAgain) {
    ProbeSession holder;
    ASSERT_EQ(holder.ask("login viewer"), "login viewer 1");
    EXPECT_EQ(probe({"reset", "viewer", "exe", "0"}), "reset viewer 1\nexe 0 0\n");
    EXPECT_EQ(holder.ask("logout viewer"), "logout viewer 0") << "the reset took the copy away";
    EXPECT_EQ(holder.ask("login viewer"), "login viewer 1") << "the logout gave the slot up all the same";
    EXPECT_EQ(probe({"exe", "0"}), "exe 0 1\n");
    EXPECT_EQ(holder.ask("logout viewer"), "logout viewer 1");
    EXPECT_EQ(probe({"exe", "0"}), "exe 0 0\n");
}

TEST_F(SharedLibrary, LoadsTheFileAndReadsRecordsByIndex) {
    const std::string out = probe({"dump"});
    EXPECT_TRUE(holds(out, "count 2\n")) << out;
    EXPECT_TRUE(holds(out, "0|viewer|viewer|min=1|permit=2|exe=0|active=0|a=-1|b=0|preset=100|msg=|")) << out;
    EXPECT_TRUE(holds(out, "1|d:\\tools\\editor|editor|min=0|permit=3|exe=0|active=0|a=5|b=7|preset=100|msg=|"))
        << out;
}

TEST_F(SharedLibrary, ASecondProcessSeesTheFirstOnesTable) {
    ProbeSession first({"message", "1", "from the first"});
    test::writeFile(kSiteConfig, "replaced 0 0 0 0\n");
    const std::string out = probe({"dump"});
    EXPECT_TRUE(holds(out, "count 2\n")) << "the file is not read again:\n" << out;
    EXPECT_TRUE(holds(out, "msg=from the first|")) << out;
}

TEST_F(SharedLibrary, TheNextLoadAfterEveryoneLeftReadsTheFileAgain) {
    probe({"message", "0", "gone soon", "dump"});
    test::writeFile(kSiteConfig, "replaced 4 5 6 7\n");
    const std::string out = probe({"dump"});
    EXPECT_TRUE(holds(out, "count 1\n0|replaced|replaced|min=4|permit=5|exe=0|active=0|a=6|b=7|preset=100|msg=|"))
        << out;
}

TEST_F(SharedLibrary, TheNextLoadAfterTheOnlyHolderWasKilledReadsTheFileAgain) {
    ProbeSession holder({"message", "0", "killed"});
    EXPECT_TRUE(holds(probe({"dump"}), "msg=killed|"));
    test::writeFile(kSiteConfig, "replaced 4 5 6 7\n");
    holder.kill();
    const std::string out = probe({"dump"});
    EXPECT_TRUE(holds(out, "count 1\n0|replaced|")) << out;
    EXPECT_FALSE(holds(out, "killed")) << out;
}

TEST_F(SharedLibrary, AProcessKilledHoldingTheLockDoesNotBlockTheNextCaller) {
    // The holder takes the lock exactly as the library's calls do, through a
    // client of its own on the test site's region, and is killed inside it.
    test::Child holder = test::forkChild([](int out) {
        Client c;
        const Site site{kSiteConfig.c_str(), kSiteRegion.c_str(), kSiteRunDir.c_str()};
        if (!attach(&c, site)) return 1;
        TableLock lock(&c);
        test::sendLine(out, "locked");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(holder, &line));
    ASSERT_EQ(line, "locked");
    int status = 0;
    test::runProgram({test::kProbe, "dump"}, &status, std::chrono::milliseconds(300));
    EXPECT_EQ(status, -1) << "the lock is really held, so the call waits";

    test::killChild(&holder);
    const std::string out = test::runProgram({test::kProbe, "dump"}, &status, std::chrono::seconds(10));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(holds(out, "count 2\n")) << out;
}

TEST_F(SharedLibrary, AProcessFindingTheTableDamagedWhileInUseAnswersAsIfNotLoaded) {
    ProbeSession holder({"msg", "viewer", "mine"});
    // The lock file's mark no longer says this library wrote it, as when
    // another build or a stray write has been at it.
    const std::string lock = kSiteRunDir + "/" + kSiteRegion + ".lock";
    const int fd = open(lock.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << lock;
    ASSERT_EQ(pwrite(fd, "\xff\xff\xff\xff", 4, 0), 4);
    close(fd);

    const std::string out = probe({"can", "viewer", "is", "viewer", "must", "viewer", "login", "viewer", "logout",
                                   "viewer", "add", "other", "0", "1", "0", "0", "errno", "delete", "viewer", "errno",
                                   "active", "viewer", "msg", "viewer", "theirs", "dump"});
    const std::string damaged = "errno " + std::to_string(EUCLEAN) + "\n";
    EXPECT_EQ(out, "can viewer 0\nis viewer 0\nmust viewer 0\nlogin viewer 0\nlogout viewer 0\nadd other 2\n" +
                       damaged + "delete viewer 2\n" + damaged + "active viewer 1\nmsg viewer 1\ncount 0\n");
    EXPECT_EQ(holder.ask("login viewer"), "login viewer 1") << "the process already attached goes on";
    EXPECT_EQ(test::readFile(kSiteConfig), "viewer 1 2 -1 0\nd:\\tools\\editor 0 3 5 7\n");
}

}  // namespace
}  // namespace sorvik
