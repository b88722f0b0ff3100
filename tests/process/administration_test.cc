// Administration and liveness through the real library, against running
// copies of a program and with the file checked byte for byte.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/probe_session.h"

namespace sorvik {
namespace {

using test::probe;
using test::ProbeSession;

bool holds(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class Administration : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        test::writeFile(test::kSiteConfig, "report 1 2 -1 0\nviewer 0 1 0 0\n");
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::remove(test::kSiteConfig.c_str());
    }
    std::string file() const { return test::readFile(test::kSiteConfig); }
    test::Sleepers sleepers;
};

TEST_F(Administration, ChangesAreRefusedWhileCopiesRunThatContradictThem) {
    sleepers.start("report");
    const pid_t second = sleepers.start("report");
    ProbeSession admin;
    EXPECT_EQ(admin.ask("modify report 0 1"), "modify report 1");
    EXPECT_EQ(admin.ask("modify report 0 2"), "modify report 0") << "equal to the running copies is allowed";
    EXPECT_EQ(file(), "report    0\t2   -1   0\r\nviewer    0\t1   0   0\r\n");
    EXPECT_EQ(admin.ask("add report 1 1 5 6"), "add report 1");
    EXPECT_EQ(admin.ask("delete report"), "delete report 1");
    sleepers.stop(second);
    EXPECT_EQ(admin.ask("add REPORT 1 1 5 6"), "add REPORT 0");
    EXPECT_EQ(file(), "report    1\t1   5   6\r\nviewer    0\t1   0   0\r\n");
    EXPECT_EQ(admin.ask("delete report"), "delete report 1") << "one copy still runs";
    EXPECT_EQ(admin.ask("delete viewer"), "delete viewer 0");
    EXPECT_EQ(admin.ask("delete viewer"), "delete viewer 2");
    EXPECT_EQ(admin.ask("add newcomer 0 3 -1 0"), "add newcomer 0");
    EXPECT_EQ(file(), "report    1\t1   5   6\r\nnewcomer    0\t3   -1   0\r\n");
    // Every process sees the change at once.
    EXPECT_TRUE(holds(probe({"dump"}), "1|newcomer|newcomer|min=0|permit=3|exe=0|")) << probe({"dump"});
}

TEST_F(Administration, LivenessAndMessagesReachEveryProcess) {
    ProbeSession program;
    const long before = static_cast<long>(std::time(nullptr));
    EXPECT_EQ(program.ask("active viewer"), "active viewer 1");
    EXPECT_EQ(program.ask("msg viewer all_is_well"), "msg viewer 1");
    const std::string seen = probe({"dump"});
    const size_t at = seen.find("1|viewer|viewer|min=0|permit=1|exe=0|active=");
    ASSERT_NE(at, std::string::npos) << seen;
    const long stamped = std::stol(seen.substr(seen.find("active=", at) + 7));
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, before + 5);
    EXPECT_TRUE(holds(seen, "msg=all_is_well|")) << seen;

    EXPECT_EQ(program.ask("login viewer"), "login viewer 1");
    EXPECT_EQ(probe({"reset", "viewer"}), "reset viewer 1\n");
    EXPECT_TRUE(holds(probe({"dump"}), "1|viewer|viewer|min=0|permit=1|exe=0|active=-1|a=0|b=0|preset=100|msg=|"));
    EXPECT_EQ(program.ask("logout viewer"), "logout viewer 0") << "the reset took the slot's copy";
    EXPECT_EQ(file(), "report 1 2 -1 0\nviewer 0 1 0 0\n") << "run-time state never reaches the file";
}

}  // namespace
}  // namespace sorvik
