// Saving the configuration file on Windows: the exact bytes, the old file
// replaced whole, and every failure leaving the old file and no temporary.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sorvik
