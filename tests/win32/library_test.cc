// The real sorvik.dll in separate Windows processes: probe programs beside
// the test site's DLL and beside the production one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/windows_support.h"
#include "table/config_file.h"
#include "table/table.h"

namespace sorvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kProbe = SORVIK_PROBE;
const std::string kSiteProbe = SORVIK_SITE_PROBE;
const std::string kCensusClient = SORVIK_CENSUS_CLIENT;
const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;
const std::string kSiteRegion = SORVIK_TEST_SITE_REGION;
const std::string kProductionConfig = "c:\\kelm\\Sorvik.sys";
constexpr int64_t kDllInitFailed = 0xC0000142;  // STATUS_DLL_INIT_FAILED

std::string probe(const std::string &program, const std::vector<std::string> &commands) {
    int64_t status = -2;
    const std::string out = wintest::runProgram(program, commands, &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

class Library : public ::testing::Test {
  protected:
    void SetUp() override { wintest::writeFile(kSiteConfig, "viewer 1 2 -1 0\r\nd:\\tools\\editor 0 3 5 7\r\n"); }
    void TearDown() override { std::remove(kSiteConfig.c_str()); }
};

TEST_F(Library, LoadsTheFileAndReadsRecordsByIndex) {
    const std::string out = probe(kProbe, {"dump"});
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("0|viewer|viewer|min=1|permit=2|exe=0|active=0|a=-1|b=0|preset=100|msg=|"), std::string::npos)
        << out;
    EXPECT_NE(out.find("1|d:\\tools\\editor|editor|min=0|permit=3|exe=0|active=0|a=5|b=7|preset=100|msg=|"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("|host=0.0.0.0\n"), std::string::npos) << "the probe never started Winsock:\n" << out;
}

TEST_F(Library, ASecondProcessSeesTheFirstOnesTable) {
    auto first = wintest::startHolding(kProbe, {"message", "1", "from the first"}, nullptr);
    wintest::writeFile(kSiteConfig, "replaced 0 0 0 0\r\n");
    const std::string out = probe(kProbe, {"dump"});
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << "the file is not read again:\n" << out;
    EXPECT_NE(out.find("msg=from the first|"), std::string::npos) << out;
}

TEST_F(Library, TheNextLoadAfterEveryoneLeftReadsTheFileAgain) {
    probe(kProbe, {"message", "0", "gone soon", "dump"});
    wintest::writeFile(kSiteConfig, "replaced 4 5 6 7\r\n");
    const std::string out = probe(kProbe, {"dump"});
    EXPECT_NE(out.find("count 1\n0|replaced|replaced|min=4|permit=5|exe=0|active=0|a=6|b=7|preset=100|msg=|"),
              std::string::npos)
        << out;
}

TEST_F(Library, TheNextLoadAfterTheOnlyHolderWasKilledReadsTheFileAgain) {
    {
        auto holder = wintest::startHolding(kProbe, {"message", "0", "killed"}, nullptr);
        EXPECT_NE(probe(kProbe, {"dump"}).find("msg=killed|"), std::string::npos);
        wintest::writeFile(kSiteConfig, "replaced 4 5 6 7\r\n");
        holder->kill();
    }
    const std::string out = probe(kProbe, {"dump"});
    EXPECT_NE(out.find("count 1\n0|replaced|"), std::string::npos) << out;
    EXPECT_EQ(out.find("killed"), std::string::npos) << out;
}

TEST_F(Library, LoadsAndUnloadsInARunningProcess) {
    wintest::LoadedLibrary dll(SORVIK_TEST_SITE_DLL);
    ASSERT_TRUE(dll.loaded());
    using Count = int32_t(SORVIK_CALL *)(void);
    using RecordAt = ProStru *(SORVIK_CALL *)(int32_t);
    const auto count = reinterpret_cast<Count>(dll.find("GetControllableProcessNum"));
    const auto recordAt = reinterpret_cast<RecordAt>(dll.find("GetProcessStruAt"));
    ASSERT_NE(count, nullptr) << "found by its undecorated name";
    ASSERT_NE(recordAt, nullptr);
    EXPECT_EQ(count(), 2);
    std::strcpy(recordAt(0)->message, "loaded here");
    std::thread([&] { EXPECT_EQ(count(), 2); }).join();  // a thread's start and end change nothing
    EXPECT_NE(probe(kProbe, {"dump"}).find("msg=loaded here|"), std::string::npos) << "one table for all";

    dll.unload();
    wintest::writeFile(kSiteConfig, "replaced 4 5 6 7\r\n");
    const std::string out = probe(kProbe, {"dump"});
    EXPECT_NE(out.find("count 1\n0|replaced|"), std::string::npos) << "the unload let the region go:\n" << out;
    EXPECT_EQ(out.find("loaded here"), std::string::npos) << out;
}

TEST_F(Library, AProcessKilledHoldingTheLockDoesNotBlockTheNextCaller) {
    // The helper takes the lock exactly as the DLL's calls do, through a
    // client of its own on the test site's region, and is killed inside it.
    std::string printed;
    auto holder = wintest::startHolding(wintest::besideThisProgram(SORVIK_HELPER),
                                        {"attach", kSiteRegion, kSiteConfig, "lock"}, &printed);
    ASSERT_EQ(printed, "attached\nlocked\n");
    wintest::Child waiting(kProbe, {"dump"});
    ASSERT_TRUE(waiting.started());
    waiting.closeInput();
    std::string line;
    EXPECT_FALSE(waiting.readLine(&line, milliseconds(500))) << "the lock is really held, so the call waits: " << line;

    holder->kill();
    const std::string out = waiting.readAll(seconds(10));
    EXPECT_EQ(waiting.wait(), 0) << "the same call goes on once the holder is gone";
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << out;
}

TEST_F(Library, AProcessEndingWhileAThreadIsInACallLeavesTheLockToTheNext) {
    // Windows stops the other threads wherever they are before it tells the
    // DLL that the process ends; the DLL must release nothing then, and a
    // lock such a thread held is abandoned to the next caller.
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(probe(kProbe, {"busy", "msg", "viewer", "ending"}), "busy\nmsg viewer 1\n") << "round " << round;
        int64_t status = -2;
        const std::string out = wintest::runProgram(kProbe, {"dump"}, &status, seconds(10));
        ASSERT_EQ(status, 0) << "round " << round << ": the next process's call did not return:\n" << out;
        EXPECT_NE(out.find("count 2\n"), std::string::npos) << out;
    }
}

TEST_F(Library, TheLoaderRefusesTheDllWhenItsRegionCannotBeMade) {
    // A mutex under the region's name keeps the mapping from being created,
    // so the DLL's attach fails and the probe cannot start.
    const wintest::Held squatter = wintest::namedMutex(kSiteRegion);
    ASSERT_TRUE(squatter.valid());
    int64_t status = 0;
    const std::string out = wintest::runProgram(kProbe, {"dump"}, &status);
    EXPECT_EQ(status, kDllInitFailed) << out;
    EXPECT_EQ(out.find("count"), std::string::npos) << out;
}

TEST_F(Library, CountsTheRunningCopiesOfAProgram) {
    wintest::writeFile(kSiteConfig, "SvkCounted 3 2 -1 0\r\n");
    wintest::ScratchSite scratch;
    const std::string copy = scratch.directory + "\\SvkCounted.exe";
    ASSERT_TRUE(wintest::copyFile(wintest::besideThisProgram(SORVIK_HELPER), copy));
    auto first = wintest::startHolding(copy, {}, nullptr);
    auto second = wintest::startHolding(copy, {}, nullptr);

    std::string out = probe(kCensusClient, {"tasks", "can-execute", "SvkCounted", "is-executing", "svkcounted",
                                            "must-re-execute", "SvkCounted", "exe", "0"});
    for (const auto *copyRunning : {first.get(), second.get()})
        EXPECT_NE(out.find("task " + std::to_string(copyRunning->processId()) + " SvkCounted\n"), std::string::npos)
            << out;
    EXPECT_NE(out.find("can-execute 0\nis-executing 1\nmust-re-execute 1\nexe 2\n"), std::string::npos)
        << "two of at most two run, fewer than three:\n" << out;

    second->kill();
    out = probe(kCensusClient, {"can-execute", "SvkCounted", "exe", "0"});
    EXPECT_EQ(out, "can-execute 1\nexe 1\n");
}

TEST(ProductionSite, ReadsAndWritesTheFileAtItsFixedPath) {
    ASSERT_TRUE(wintest::makeDirectory("c:\\kelm"));
    const std::string text = "viewer    1\t2   -1   0\r\nd:\\tools\\editor    0\t3   5   7\r\n";
    auto table = std::make_unique<ProTable>();
    const uint8_t host[4] = {0, 0, 0, 0};
    fillDefaults(table.get(), host);
    parseConfig(text.data(), text.size(), table.get());
    ASSERT_TRUE(saveTable(kProductionConfig.c_str(), *table));
    EXPECT_EQ(wintest::readFile(kProductionConfig), text) << "byte for byte, CR LF";

    const std::string out = probe(kSiteProbe, {"dump"});
    EXPECT_NE(out.find("count 2\n0|viewer|viewer|min=1|permit=2|"), std::string::npos) << out;
    EXPECT_NE(out.find("1|d:\\tools\\editor|editor|min=0|permit=3|exe=0|active=0|a=5|b=7|"), std::string::npos)
        << out;
    std::remove(kProductionConfig.c_str());
}

}  // namespace
}  // namespace sorvik
