// Administration and liveness through the real library, against running
// copies of a program and with the file checked byte for byte.
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <string>

#include "support/probe_session.h"

namespace sorvik {
namespace {

using test::probe;
using test::ProbeSession;

bool holds(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Names unique to this run: copies of programs that others run on the
// machine must not count.
const std::string kReport = test::uniqueName("report");
const std::string kViewer = test::uniqueName("viewer");
const std::string kNewcomer = test::uniqueName("newcomer");

std::string upper(std::string name) {
    for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

class Administration : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        test::writeFile(test::kSiteConfig, kReport + " 1 2 -1 0\n" + kViewer + " 0 1 0 0\n");
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::remove(test::kSiteConfig.c_str());
    }
    std::string file() const { return test::readFile(test::kSiteConfig); }
    test::Sleepers sleepers;
};

TEST_F(Administration, ChangesAreRefusedWhileCopiesRunThatContradictThem) {
    sleepers.start(kReport);
    const pid_t second = sleepers.start(kReport);
    ProbeSession admin;
    EXPECT_EQ(admin.ask("modify " + kReport + " 0 1"), "modify " + kReport + " 1");
    EXPECT_EQ(admin.ask("modify " + kReport + " 0 2"), "modify " + kReport + " 0")
        << "equal to the running copies is allowed";
    EXPECT_EQ(file(), kReport + "    0\t2   -1   0\r\n" + kViewer + "    0\t1   0   0\r\n");
    EXPECT_EQ(admin.ask("add " + kReport + " 1 1 5 6"), "add " + kReport + " 1");
    EXPECT_EQ(admin.ask("delete " + kReport), "delete " + kReport + " 1");
    sleepers.stop(second);
    EXPECT_EQ(admin.ask("add " + upper(kReport) + " 1 1 5 6"), "add " + upper(kReport) + " 0");
    EXPECT_EQ(file(), kReport + "    1\t1   5   6\r\n" + kViewer + "    0\t1   0   0\r\n");
    EXPECT_EQ(admin.ask("delete " + kReport), "delete " + kReport + " 1") << "one copy still runs";
    EXPECT_EQ(admin.ask("delete " + kViewer), "delete " + kViewer + " 0");
    EXPECT_EQ(admin.ask("delete " + kViewer), "delete " + kViewer + " 2");
    EXPECT_EQ(admin.ask("add " + kNewcomer + " 0 3 -1 0"), "add " + kNewcomer + " 0");
    EXPECT_EQ(file(), kReport + "    1\t1   5   6\r\n" + kNewcomer + "    0\t3   -1   0\r\n");
    // Every process sees the change at once.
    EXPECT_TRUE(holds(probe({"dump"}), "1|" + kNewcomer + "|" + kNewcomer + "|min=0|permit=3|exe=0|"))
        << probe({"dump"});
}

TEST_F(Administration, LivenessAndMessagesReachEveryProcess) {
    ProbeSession program;
    const long before = static_cast<long>(std::time(nullptr));
    EXPECT_EQ(program.ask("active " + kViewer), "active " + kViewer + " 1");
    EXPECT_EQ(program.ask("msg " + kViewer + " all_is_well"), "msg " + kViewer + " 1");
    const std::string seen = probe({"dump"});
    const size_t at = seen.find("1|" + kViewer + "|" + kViewer + "|min=0|permit=1|exe=0|active=");
    ASSERT_NE(at, std::string::npos) << seen;
    const long stamped = std::stol(seen.substr(seen.find("active=", at) + 7));
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, before + 5);
    EXPECT_TRUE(holds(seen, "msg=all_is_well|")) << seen;

    EXPECT_EQ(program.ask("login " + kViewer), "login " + kViewer + " 1");
    EXPECT_EQ(probe({"reset", kViewer}), "reset " + kViewer + " 1\n");
    EXPECT_TRUE(holds(probe({"dump"}),
                      "1|" + kViewer + "|" + kViewer + "|min=0|permit=1|exe=0|active=-1|a=0|b=0|preset=100|msg=|"));
    EXPECT_EQ(program.ask("logout " + kViewer), "logout " + kViewer + " 0") << "the reset took the slot's copy";
    EXPECT_EQ(file(), kReport + " 1 2 -1 0\n" + kViewer + " 0 1 0 0\n") << "run-time state never reaches the file";
}

}  // namespace
}  // namespace sorvik
