#include "table/config_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include "support/scratch.h"
#endif
#include "table/names.h"

namespace sorvik {
namespace {

struct Entry {
    std::string name;
    int32_t min, permit, a, b;
    bool operator==(const Entry &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Entry &e) {
    return out << "{" << e.name << " " << e.min << " " << e.permit << " " << e.a << " " << e.b << "}";
}

const uint8_t kHost[4] = {10, 1, 2, 3};

std::unique_ptr<ProTable> defaults() {
    auto table = std::make_unique<ProTable>();
    fillDefaults(table.get(), kHost);
    return table;
}

std::vector<Entry> parse(const std::string &text) {
    auto table = defaults();
    parseConfig(text.data(), text.size(), table.get());
    std::vector<Entry> entries;
    for (int32_t i = 0; i < table->proCount; ++i) {
        const ProStru &r = table->records[i];
        entries.push_back({r.proName, r.minExeCount, r.permitExeCount, r.userParamA, r.userParamB});
    }
    return entries;
}

TEST(ConfigReader, ReadsEntriesWhateverTheLayout) {
    struct Case {
        const char *what;
        std::string text;
        std::vector<Entry> expected;
    } cases[] = {
        {"empty file", "", {}},
        {"white space only", " \t\r\n\v\f \r\n", {}},
        {"canonical CR LF", "viewer    1\t2   -1   0\r\nd:\\tools\\editor    0\t3   5   7\r\n",
         {{"viewer", 1, 2, -1, 0}, {"d:\\tools\\editor", 0, 3, 5, 7}}},
        {"LF only, blank lines, runs of spaces", "\n\nviewer 1 2  -1 0\n\n\n  editor\t0\t3\t5\t7\n",
         {{"viewer", 1, 2, -1, 0}, {"editor", 0, 3, 5, 7}}},
        {"two entries on one line", "a 1 2 3 4 b 5 6 7 8", {{"a", 1, 2, 3, 4}, {"b", 5, 6, 7, 8}}},
        {"one entry over several lines", "a\n1\n2\n3\n4\n", {{"a", 1, 2, 3, 4}}},
        {"four values keep userParamB 0", "solo 1 2 3\n", {{"solo", 1, 2, 3, 0}}},
        {"four values then the next name", "a 1 2 3\nb 4 5 6 7\n", {{"a", 1, 2, 3, 0}, {"b", 4, 5, 6, 7}}},
        {"digits starting the next name become userParamB", "a 1 2 3\n7view 4 5 6 8\n",
         {{"a", 1, 2, 3, 7}, {"view", 4, 5, 6, 8}}},
        {"a letter where permit belongs ends the load", "a 1 2 3 4\nb 1 x 3 4\nc 1 2 3 4\n", {{"a", 1, 2, 3, 4}}},
        {"fewer than four values ends the load", "a 1 2 3 4\nb 1 2\n", {{"a", 1, 2, 3, 4}}},
        {"a number ends at the first other character", "a 12abc 1 2 3", {}},
        {"signs", "a -1 +2 -3 -4\n", {{"a", -1, 2, -3, -4}}},
        {"a lone sign after four values is used up", "a 1 2 3 -b 1 2 3 4", {{"a", 1, 2, 3, 0}, {"b", 1, 2, 3, 4}}},
        {"numbers beyond 32 bits stop at the bound", "a 99999999999 -99999999999 0 0",
         {{"a", INT32_MAX, INT32_MIN, 0, 0}}},
        {"a name of 99 characters is kept", std::string(99, 'n') + " 1 2 3 4", {{std::string(99, 'n'), 1, 2, 3, 4}}},
        {"a name of 100 characters ends the load", "a 1 2 3 4 " + std::string(100, 'n') + " 1 2 3 4 b 1 2 3 4",
         {{"a", 1, 2, 3, 4}}},
        {"a name beginning with a NUL byte ends the load", "a 1 2 3 4 " + std::string("\0b 1 2 3 4 c 1 2 3 4", 20),
         {{"a", 1, 2, 3, 4}}},
        {"a name holding a NUL byte ends the load", "a 1 2 3 4 " + std::string("b\0c 1 2 3 4", 12),
         {{"a", 1, 2, 3, 4}}},
    };
    for (const Case &c : cases) EXPECT_EQ(parse(c.text), c.expected) << c.what;
}

TEST(ConfigReader, StopsAfterTheTableIsFull) {
    std::string text;
    for (int i = 0; i < 360; ++i) text += "p" + std::to_string(i) + " 0 1 2 3\n";
    const std::vector<Entry> entries = parse(text);
    ASSERT_EQ(entries.size(), 350u);
    EXPECT_EQ(entries.back(), (Entry{"p349", 0, 1, 2, 3}));
}

TEST(ConfigReader, LeavesTheRunTimeFieldsAtTheirDefaults) {
    auto table = defaults();
    const std::string text = "viewer 1 2 3 4\n";
    parseConfig(text.data(), text.size(), table.get());
    for (int i = 0; i < kMaxRecords; ++i) {
        const ProStru &r = table->records[i];
        EXPECT_EQ(r.exeCount, 0);
        EXPECT_EQ(r.activeTime, 0);
        EXPECT_EQ(r.presetValue, 100);
        EXPECT_EQ(r.message[0], '\0');
        EXPECT_EQ(std::memcmp(r.hostAddr, kHost, 4), 0);
        if (i > 0) {
            EXPECT_EQ(r.userParamA, -1);
            EXPECT_EQ(r.proName[0], '\0');
        }
    }
}

std::unique_ptr<ProTable> tableOf(const std::vector<Entry> &entries) {
    auto table = defaults();
    for (const Entry &e : entries) {
        ProStru &r = table->records[table->proCount++];
        std::strcpy(r.proName, e.name.c_str());
        r.minExeCount = e.min;
        r.permitExeCount = e.permit;
        r.userParamA = e.a;
        r.userParamB = e.b;
    }
    return table;
}

TEST(ConfigWriter, WritesTheExactFormat) {
    auto table = tableOf({{"viewer", 1, 2, -1, 0}, {"d:\\tools\\editor", 0, 3, 5, 7}});
    EXPECT_EQ(formatConfig(*table), "viewer    1\t2   -1   0\r\nd:\\tools\\editor    0\t3   5   7\r\n");
    EXPECT_EQ(formatConfig(*defaults()), "");
}

TEST(ConfigWriter, WhatIsWrittenReadsBackTheSame) {
    const std::vector<Entry> entries = {
        {"viewer", 1, 2, -1, 0}, {"d:\\tools\\editor", 0, 3, 5, 7}, {"x", INT32_MIN, INT32_MAX, -7, 9}};
    const std::string text = formatConfig(*tableOf(entries));
    EXPECT_EQ(parse(text), entries);
}

TEST(ConfigWriter, ANameReadsBackExactlyWhenTheNameRuleSaysSo) {
    // The saver refuses a table holding a name that fails readBackFault, so
    // the reader must read back every other name, and the record after it,
    // as written.
    const std::string names[] = {"a", "Viewer.EXE", "d:\\tools\\", "\xc4\xff\x01", std::string(99, 'n'),
                                 "", "two words", "tab\there", "line\r\nend", "v\vf\f", std::string(99, ' ')};
    for (const std::string &name : names) {
        const std::vector<Entry> entries = {{name, 1, 2, 3, 4}, {"next", 5, 6, 7, 8}};
        const bool readsBack = parse(formatConfig(*tableOf(entries))) == entries;
        EXPECT_EQ(readsBack, readBackFault(name) == NameFault::none) << "\"" << name << "\"";
    }
    // A field a client filled to its end reads back as a shorter name.
    auto table = tableOf({{"x", 1, 2, 3, 4}});
    std::memset(table->records[0].proName, 'y', sizeof table->records[0].proName);
    EXPECT_EQ(readBackFault(fieldView(table->records[0].proName, sizeof table->records[0].proName)),
              NameFault::tooLong);
    EXPECT_EQ(parse(formatConfig(*table)).size(), 0u);
}

TEST(ConfigWriter, AProCountOutOfRangeWritesTheSlotsThereAre) {
    // A client can write any proCount through the pointers it is handed; a
    // save must still neither fail nor throw out of the library.
    const std::string one = "viewer    1\t2   -1   0\r\n";
    const struct {
        int32_t proCount;
        size_t lines;
    } cases[] = {{-1, 0}, {INT32_MIN, 0}, {kMaxRecords + 1, kMaxRecords}, {INT32_MAX, kMaxRecords}};
    for (const auto &c : cases) {
        auto table = tableOf({{"viewer", 1, 2, -1, 0}});
        table->proCount = c.proCount;
        std::string text;
        ASSERT_NO_THROW(text = formatConfig(*table)) << c.proCount;
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.lines) << c.proCount;
        if (c.lines > 0) {
            EXPECT_EQ(text.substr(0, one.size()), one);
        }
    }
}

// Reading and writing the text run everywhere; saving the file is the
// platform's, and tests/win32 has the Windows side of it.
#ifndef _WIN32
class SaveTable : public ::testing::Test {
  protected:
    test::ScratchSite scratch;
};

TEST_F(SaveTable, ReplacesTheFileWhole) {
    scratch.writeConfig("old contents that are longer than the new ones\r\n");
    auto table = tableOf({{"viewer", 1, 2, -1, 0}});
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *table));
    EXPECT_EQ(scratch.readConfig(), "viewer    1\t2   -1   0\r\n");
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *defaults()));
    EXPECT_EQ(scratch.readConfig(), "");
}

TEST_F(SaveTable, KeepsTheModeButNeverWorldWritable) {
    scratch.writeConfig("old\n");
    chmod(scratch.configPath.c_str(), 0666);
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *tableOf({{"a", 1, 2, 3, 4}})));
    struct stat st;
    ASSERT_EQ(stat(scratch.configPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);

    std::remove(scratch.configPath.c_str());
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *tableOf({{"a", 1, 2, 3, 4}})));
    ASSERT_EQ(stat(scratch.configPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(SaveTable, MissingDirectoryFailsAndCreatesNothing) {
    const std::string path = scratch.directory + "/kelm/Sorvik.sys";
    int error = 0;
    EXPECT_FALSE(saveTable(path.c_str(), *tableOf({{"a", 1, 2, 3, 4}}), &error));
    EXPECT_EQ(error, ENOENT);
}

TEST_F(SaveTable, AWriteThatFailsMidwayLeavesTheOldFile) {
    const std::string old = "keep    1\t2   3   4\r\n";
    scratch.writeConfig(old);
    std::vector<Entry> many;
    for (int i = 0; i < 300; ++i) many.push_back({"program" + std::to_string(i), 1, 2, 3, 4});
    auto table = tableOf(many);
    // A child with a small file size limit: its write fails with EFBIG
    // after a few hundred bytes have gone out.
    test::Child child = test::forkChild([&](int) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        int error = 0;
        const bool saved = saveTable(scratch.configPath.c_str(), *table, &error);
        return saved ? 0 : (error == EFBIG ? 10 : 11);
    });
    EXPECT_EQ(test::waitChild(&child), 10);
    EXPECT_EQ(scratch.readConfig(), old);
    // No temporary file is left behind either.
    int entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(scratch.directory)) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1);
}

#endif  // _WIN32

}  // namespace
}  // namespace sorvik
