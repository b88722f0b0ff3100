// Saving the configuration file on Windows: the exact bytes, the old file
// replaced whole, and every failure leaving the old file and no temporary.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/windows_support.h"
#include "table/config_file.h"
#include "table/table.h"

namespace sorvik {
namespace {

// Windows' error numbers, as GetLastError gives them.
constexpr int kPathNotFound = 3;   // ERROR_PATH_NOT_FOUND
constexpr int kAccessDenied = 5;   // ERROR_ACCESS_DENIED
constexpr int kSharingViolation = 32;  // ERROR_SHARING_VIOLATION

const uint8_t kHost[4] = {10, 1, 2, 3};
const std::string kTwoRecords = "viewer    1\t2   -1   0\r\nd:\\tools\\editor    0\t3   5   7\r\n";

std::unique_ptr<ProTable> twoRecords() {
    auto table = std::make_unique<ProTable>();
    fillDefaults(table.get(), kHost);
    parseConfig(kTwoRecords.data(), kTwoRecords.size(), table.get());
    return table;
}

TEST(SaveTable, ReplacesTheFileWholeWithCrLfLines) {
    wintest::ScratchSite scratch;
    scratch.writeConfig("old contents that are longer than the new ones\r\nand a second line\r\n");
    auto table = twoRecords();
    ASSERT_EQ(table->proCount, 2);
    int error = -1;
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *table, &error)) << error;
    EXPECT_EQ(scratch.readConfig(), kTwoRecords);
    EXPECT_EQ(wintest::filesIn(scratch.directory), std::vector<std::string>{"Sorvik.sys"}) << "no temporary left";

    auto empty = std::make_unique<ProTable>();
    fillDefaults(empty.get(), kHost);
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *empty));
    EXPECT_EQ(scratch.readConfig(), "");
}

TEST(SaveTable, CreatesTheFileWhenThereIsNone) {
    wintest::ScratchSite scratch;
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *twoRecords()));
    EXPECT_EQ(scratch.readConfig(), kTwoRecords);
}

TEST(SaveTable, AFailedSaveLeavesTheOldFileAndNoTemporary) {
    const std::string old = "keep    1\t2   3   4\r\n";
    struct Case {
        const char *what;
        std::function<wintest::Held(const wintest::ScratchSite &)> arrange;
        std::function<std::string(const wintest::ScratchSite &)> target;
        std::vector<int> errors;  // what the system may call it
    } cases[] = {
        {"no such directory", [](const wintest::ScratchSite &) { return wintest::Held(); },
         [](const wintest::ScratchSite &s) { return s.directory + "\\kelm\\Sorvik.sys"; }, {kPathNotFound}},
        {"the old file is read-only",
         [](const wintest::ScratchSite &s) {
             wintest::setReadOnly(s.configPath, true);
             return wintest::Held();
         },
         [](const wintest::ScratchSite &s) { return s.configPath; }, {kAccessDenied}},
        {"the old file is open without delete sharing",
         [](const wintest::ScratchSite &s) { return wintest::openWithoutSharing(s.configPath); },
         [](const wintest::ScratchSite &s) { return s.configPath; }, {kAccessDenied, kSharingViolation}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        wintest::ScratchSite scratch;
        scratch.writeConfig(old);
        {
            const wintest::Held held = c.arrange(scratch);
            int error = 0;
            EXPECT_FALSE(saveTable(c.target(scratch).c_str(), *twoRecords(), &error));
            EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), error), c.errors.end()) << "error " << error;
        }
        EXPECT_EQ(scratch.readConfig(), old);
        EXPECT_EQ(wintest::filesIn(scratch.directory), std::vector<std::string>{"Sorvik.sys"});
        wintest::setReadOnly(scratch.configPath, false);
    }
}

TEST(LoadConfig, ReadsWhatWasSaved) {
    wintest::ScratchSite scratch;
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *twoRecords()));
    auto loaded = std::make_unique<ProTable>();
    fillDefaults(loaded.get(), kHost);
    loadConfig(scratch.configPath.c_str(), loaded.get());
    EXPECT_EQ(formatConfig(*loaded), kTwoRecords);
    EXPECT_STREQ(loaded->records[1].proName, "d:\\tools\\editor");

    auto none = std::make_unique<ProTable>();
    fillDefaults(none.get(), kHost);
    loadConfig((scratch.directory + "\\absent.sys").c_str(), none.get());
    EXPECT_EQ(none->proCount, 0) << "a missing file leaves the table empty";
}

// Files an administrator keeps beside the configuration file survive every
// save, those named much like a temporary included; only an abandoned
// temporary of the saver's own pattern goes.
TEST(SaveTable, TouchesNoFileBesideItButItsOwnAbandonedTemporaries) {
    wintest::ScratchSite scratch;
    const std::vector<std::string> kept = {"Sorvik.sys.backup", "Sorvik.sys.old123", "Sorvik.sys.2024v1",
                                           "Sorvik.sys.0000000a0001.tmp", "Sorvik.sys.tmp",
                                           ".Sorvik.sys.sorvik-tmp.notours"};
    for (const std::string &name : kept) wintest::writeFile(scratch.directory + "\\" + name, "kept: " + name);
    wintest::writeFile(scratch.directory + "\\.Sorvik.sys.sorvik-tmp.0000002a0001", "left by a killed saver");
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *twoRecords()));
    std::vector<std::string> expected = kept;
    expected.push_back("Sorvik.sys");
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> seen = wintest::filesIn(scratch.directory);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
    for (const std::string &name : kept) EXPECT_EQ(wintest::readFile(scratch.directory + "\\" + name), "kept: " + name);
    EXPECT_EQ(scratch.readConfig(), kTwoRecords);
}

TEST(LoadConfig, OnlyAMissingFileIsAnEmptyOne) {
    wintest::ScratchSite scratch;
    auto table = std::make_unique<ProTable>();
    fillDefaults(table.get(), kHost);
    EXPECT_EQ(loadConfig((scratch.directory + "\\absent.sys").c_str(), table.get()), 0);
    EXPECT_EQ(loadConfig((scratch.directory + "\\kelm\\Sorvik.sys").c_str(), table.get()), 0);
    ASSERT_TRUE(wintest::makeDirectory(scratch.configPath));
    EXPECT_EQ(loadConfig(scratch.configPath.c_str(), table.get()), 267) << "ERROR_DIRECTORY";
    EXPECT_EQ(table->proCount, 0);
    int error = 0;
    EXPECT_FALSE(saveTable(scratch.configPath.c_str(), *twoRecords(), &error));
    EXPECT_EQ(error, 267);
    RemoveDirectoryA(scratch.configPath.c_str());
}

}  // namespace
}  // namespace sorvik
