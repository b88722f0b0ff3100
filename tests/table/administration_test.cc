// Adding, changing and deleting records, with the table and the file
// checked after each call.
#include "table/administration.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>

#include "census/recount.h"
#include "support/fake_processes.h"
#include "support/scratch.h"
#include "table/accessors.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

// Programs built against any version of the header compare the answers with
// these numbers: they never change.
static_assert(SORVIK_DONE == 0 && SORVIK_COPIES_RUN == 1 && SORVIK_NO_RECORD == 2 && SORVIK_NOT_SAVED == 3,
              "the administration results are part of the binary interface");

const std::string kThree = "viewer    1\t2   -1   0\r\nd:\\tools\\editor    0\t3   5   7\r\nreport    1\t1   0   0\r\n";

class Administration : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch.writeConfig(kThree);
        ASSERT_TRUE(attach(&client, scratch.site()));
        table = client.table;
    }
    void TearDown() override { detach(&client); }

    // The administration calls as a client makes them: the record found,
    // recounted from `running`, then acted on.
    int32_t add(const char *name, RecordSettings s, const std::vector<test::FakeProcess> &running = {}) {
        const int32_t index = findByWholeName(table, name);
        if (index < 0) return appendRecord(&client, table, name, s);
        recountOne(table, index, test::fakeSnapshot(running));
        return updateRecord(&client, table, index, s);
    }
    int32_t modify(const char *name, int32_t min, int32_t permit, const std::vector<test::FakeProcess> &running = {}) {
        const int32_t index = findByBaseName(table, name);
        if (index < 0) return kNoRecord;
        recountOne(table, index, test::fakeSnapshot(running));
        return changeLimits(&client, table, index, min, permit);
    }
    int32_t remove(const char *name, const std::vector<test::FakeProcess> &running = {}) {
        const int32_t index = findByBaseName(table, name);
        if (index < 0) return kNoRecord;
        recountOne(table, index, test::fakeSnapshot(running));
        return deleteRecord(&client, table, index);
    }
    std::vector<test::FakeProcess> copies(const char *name, int n) {
        std::vector<test::FakeProcess> list;
        for (int i = 0; i < n; ++i) list.push_back({static_cast<uint32_t>(100 + i), name});
        return list;
    }

    test::ScratchSite scratch;
    Client client;
    ProTable *table = nullptr;
};

TEST_F(Administration, ModifyRefusesAPermitBelowTheRunningCopies) {
    struct Case {
        int32_t permit;
        int32_t result;
        int32_t permitAfter;
    } cases[] = {{2, kDone, 2}, {1, kCopiesRun, 2}, {5, kDone, 5}};
    for (const Case &c : cases) {
        const std::string before = scratch.readConfig();
        EXPECT_EQ(modify("Report", 4, c.permit, copies("report", 2)), c.result) << c.permit;
        EXPECT_EQ(table->records[2].permitExeCount, c.permitAfter);
        EXPECT_EQ(table->records[2].exeCount, 2) << "the recount stays, refused or not";
        if (c.result == kCopiesRun) {
            EXPECT_EQ(scratch.readConfig(), before) << "a refusal writes nothing";
        } else {
            EXPECT_EQ(table->records[2].minExeCount, 4);
            EXPECT_NE(scratch.readConfig().find("report    4\t" + std::to_string(c.permit) + "   0   0\r\n"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(modify("ghost", 1, 1), kNoRecord);
}

// A negative permit allows no copy, as 0 does; whether it is refused
// depends only on the copies that run, whichever call sets it.
TEST_F(Administration, ANegativePermitIsRefusedOnlyWhenCopiesRun) {
    struct Case {
        const char *call;
        int running;
        int32_t permit;
        int32_t result;
    } cases[] = {{"modify", 0, -1, kDone},       {"add", 0, -5, kDone},       {"modify", 0, 0, kDone},
                 {"modify", 1, -1, kCopiesRun}, {"add", 1, -5, kCopiesRun}, {"add", 1, 0, kCopiesRun},
                 {"modify", 1, 1, kDone}};
    for (const Case &c : cases) {
        const std::string what = std::string(c.call) + " running " + std::to_string(c.running) + " permit " +
                                 std::to_string(c.permit);
        const auto running = copies("report", c.running);
        const int32_t result = std::string(c.call) == "add" ? add("report", {1, c.permit, 0, 0}, running)
                                                            : modify("report", 1, c.permit, running);
        EXPECT_EQ(result, c.result) << what;
        if (result == kDone) {
            EXPECT_EQ(table->records[2].permitExeCount, c.permit) << what;
        }
    }
    EXPECT_EQ(add("newcomer", {0, -3, 0, 0}), kDone) << "a new record has no copies counted";
    EXPECT_EQ(table->records[3].permitExeCount, -3);
}

TEST_F(Administration, DeleteMovesLaterRecordsDownAndKeepsTheLastSlotsCopy) {
    EXPECT_EQ(remove("report", copies("report", 1)), kCopiesRun);
    EXPECT_EQ(table->proCount, 3);
    std::strcpy(table->records[2].message, "last");
    EXPECT_EQ(remove("viewer"), kDone);
    EXPECT_EQ(table->proCount, 2);
    EXPECT_STREQ(table->records[0].proName, "d:\\tools\\editor");
    EXPECT_STREQ(table->records[1].proName, "report");
    EXPECT_STREQ(table->records[2].proName, "report") << "the vacated slot keeps a copy";
    EXPECT_EQ(scratch.readConfig(), "d:\\tools\\editor    0\t3   5   7\r\nreport    1\t1   0   0\r\n");

    // An addition takes over what the vacated slot held beyond its settings.
    table->records[2].hostAddr[0] = 99;
    EXPECT_EQ(add("fresh", {1, 2, 3, 4}), kDone);
    EXPECT_STREQ(table->records[2].proName, "fresh");
    EXPECT_STREQ(table->records[2].message, "last");
    EXPECT_EQ(table->records[2].hostAddr[0], 99);
    EXPECT_EQ(table->records[2].exeCount, 0);

    EXPECT_EQ(remove("ghost"), kNoRecord);
}

TEST_F(Administration, DeletingEveryRecordLeavesAnEmptyFile) {
    for (const char *name : {"editor", "viewer", "report"}) EXPECT_EQ(remove(name), kDone) << name;
    EXPECT_EQ(table->proCount, 0);
    EXPECT_EQ(scratch.readConfig(), "");
}

TEST_F(Administration, AddFindsTheWholeNameInAnyCase) {
    table->records[0].exeCount = 0;
    table->records[0].activeTime = 1234;
    std::strcpy(table->records[0].message, "kept");
    EXPECT_EQ(add("VIEWER", {7, 8, 9, 10}, copies("viewer", 3)), kDone);
    const ProStru &r = table->records[0];
    EXPECT_STREQ(r.proName, "viewer") << "the stored case stays";
    EXPECT_EQ(r.minExeCount, 7);
    EXPECT_EQ(r.permitExeCount, 8);
    EXPECT_EQ(r.userParamA, 9);
    EXPECT_EQ(r.userParamB, 10);
    EXPECT_EQ(r.activeTime, 0);
    EXPECT_EQ(r.exeCount, 3);
    EXPECT_STREQ(r.message, "kept");
    EXPECT_EQ(table->proCount, 3);
    EXPECT_EQ(add("viewer", {0, 2, 0, 0}, copies("viewer", 3)), kCopiesRun);
    EXPECT_EQ(table->records[0].permitExeCount, 8);
}

TEST_F(Administration, ARecordWithADirectoryIsFoundByBaseNameButNotByAdd) {
    EXPECT_EQ(modify("editor", 2, 0, copies("editor", 4)), kDone) << "its whole name counts no copies";
    EXPECT_EQ(table->records[1].permitExeCount, 0);
    EXPECT_EQ(add("editor", {0, 1, 0, 0}), kDone);
    EXPECT_EQ(table->proCount, 4) << "a second record named editor";
    EXPECT_EQ(findByBaseName(table, "editor"), 1) << "lookups still reach the first";
    EXPECT_EQ(remove("editor", copies("editor", 4)), kDone);
    EXPECT_STREQ(table->records[2].proName, "editor");
}

TEST_F(Administration, AFullTableTakesNoNewNameButStillUpdates) {
    while (table->proCount < kMaxRecords)
        ASSERT_EQ(add(("p" + std::to_string(table->proCount)).c_str(), {0, 1, 0, 0}), kDone);
    const std::string full = scratch.readConfig();
    EXPECT_EQ(add("one_more", {0, 1, 0, 0}), kNoRecord);
    EXPECT_EQ(table->proCount, kMaxRecords);
    EXPECT_EQ(scratch.readConfig(), full);
    EXPECT_EQ(add("p349", {5, 6, 7, 8}), kDone);
    EXPECT_EQ(table->records[349].minExeCount, 5);
}

TEST_F(Administration, NamesThatCannotBeStoredAreRefused) {
    const std::string tooLong(100, 'n');
    const std::string longest(99, 'n');
    struct Case {
        const char *name;
        int32_t result;
    } cases[] = {{tooLong.c_str(), kNoRecord}, {"", kNoRecord},       {"two words", kNoRecord},
                 {"tab\there", kNoRecord},     {nullptr, kNoRecord},  {"tools\\", kNoRecord},
                 {"\\", kNoRecord},              {longest.c_str(), kDone}};
    for (const Case &c : cases) EXPECT_EQ(add(c.name, {0, 1, 0, 0}), c.result) << (c.name ? c.name : "null");
    EXPECT_EQ(table->proCount, 4);
    EXPECT_STREQ(table->records[3].proName, longest.c_str());
    EXPECT_EQ(table->records[4].proName[0], '\0') << "nothing written past the last record";
}

TEST_F(Administration, ASaveThatFailsKeepsTheChangeAndTheOldFile) {
    // A configuration file in a directory that does not exist.
    const std::string missing = scratch.directory + "/kelm/Sorvik.sys";
    client.configPath = missing.c_str();
    EXPECT_EQ(modify("viewer", 0, 9), kNotSaved);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(table->records[0].permitExeCount, 9) << "the change stays in the table";
    EXPECT_EQ(add("newcomer", {0, 1, 0, 0}), kNotSaved);
    EXPECT_EQ(table->proCount, 4);
    EXPECT_EQ(remove("newcomer"), kNotSaved);
    EXPECT_EQ(table->proCount, 3);

    // A write that fails midway, in a child whose files may not grow.
    client.configPath = scratch.configPath.c_str();
    test::Child child = test::forkChild([&](int) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{40, 40};
        setrlimit(RLIMIT_FSIZE, &limit);
        return modify("report", 0, 7) == kNotSaved ? 0 : 1;
    });
    EXPECT_EQ(test::waitChild(&child), 0);
    EXPECT_EQ(scratch.readConfig(), kThree) << "the old file is intact";
    EXPECT_EQ(table->records[2].permitExeCount, 7) << "the child's change is in the shared table";
    EXPECT_EQ(modify("viewer", 1, 2), kDone) << "and reaches the file with the next save";
    EXPECT_NE(scratch.readConfig().find("report    0\t7   0   0\r\n"), std::string::npos);
}

}  // namespace
}  // namespace sorvik
