#include "control/liveness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "control/admission.h"
#include "support/scratch.h"

namespace sorvik {
namespace {

int64_t gNow = 0;
int64_t tickingClock() { return gNow++; }

class Liveness : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch.writeConfig("app 1 5 0 0\ntools\\app 0 5 0 0\nother 0 5 0 0\n");
        ASSERT_TRUE(attach(&client, scratch.site()));
        table = client.table;
        for (int i = 0; i < 3; ++i) {
            table->records[i].exeCount = 2;
            table->records[i].activeTime = 50;
            std::strcpy(table->records[i].message, "before");
        }
    }
    void TearDown() override { detach(&client); }
    test::ScratchSite scratch;
    Client client;
    ProTable *table = nullptr;
};

TEST_F(Liveness, ActsOnEveryRecordWithTheBaseName) {
    gNow = 1000;
    stampActive(&client, table, "APP", tickingClock);
    EXPECT_EQ(table->records[0].activeTime, 1000);
    EXPECT_EQ(table->records[1].activeTime, 1001) << "the clock is read for each record";
    EXPECT_EQ(table->records[2].activeTime, 50);

    leaveMessage(&client, table, "app", "hi");
    EXPECT_STREQ(table->records[0].message, "hi");
    EXPECT_STREQ(table->records[1].message, "hi");
    EXPECT_STREQ(table->records[2].message, "before");

    resetRunState(&client, table, "app");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(table->records[i].activeTime, -1);
        EXPECT_EQ(table->records[i].exeCount, 0);
        EXPECT_STREQ(table->records[i].message, "");
        EXPECT_EQ(table->records[i].permitExeCount, 5) << "settings stay";
    }
    EXPECT_EQ(table->records[2].exeCount, 2);

    stampActive(&client, table, "app", tickingClock);
    EXPECT_EQ(table->records[0].activeTime, 1002) << "a report after a reset replaces -1";
}

TEST_F(Liveness, MessagesNeverPassTheirField) {
    struct Case {
        std::string text, stored;
    } cases[] = {{"", ""},
                 {"exactly19characters", "exactly19characters"},
                 {"twenty characters!!!", "twenty characters!!"},
                 {std::string(5000, 'x'), std::string(19, 'x')}};
    for (const Case &c : cases) {
        const ProStru next = table->records[1];
        leaveMessage(&client, table, "other", c.text.c_str());
        EXPECT_EQ(std::string(table->records[2].message), c.stored);
        EXPECT_EQ(table->records[2].activeTime, 50) << "a message touches nothing else";
        EXPECT_EQ(table->records[2].exeCount, 2);
        EXPECT_EQ(std::memcmp(&next, &table->records[1], sizeof next), 0);
        EXPECT_EQ(table->records[3].proName[0], '\0') << "the next slot is untouched";
    }
}

TEST_F(Liveness, UnknownAndNullNamesChangeNothing) {
    const ProTable before = *table;
    stampActive(&client, table, "ghost");
    leaveMessage(&client, table, "ghost", "x");
    resetRunState(&client, table, "ghost");
    stampActive(&client, table, nullptr);
    leaveMessage(&client, table, nullptr, "x");
    leaveMessage(&client, table, "app", nullptr);
    resetRunState(&client, table, nullptr);
    EXPECT_EQ(std::memcmp(&before, table, sizeof before), 0);
}

TEST_F(Liveness, AResetTakesTheCopyALoggedInProcessWouldGiveBack) {
    ASSERT_EQ(logIn(&client, table, "other"), 1);
    resetRunState(&client, table, "other");
    EXPECT_EQ(logOut(&client, table, "other"), 0) << "no copy is left to give back";
    EXPECT_FALSE(client.loggedIn) << "the process gave its slot up all the same";
    EXPECT_EQ(logIn(&client, table, "other"), 1) << "so it can take one again";
    EXPECT_EQ(table->records[2].exeCount, 1);
    EXPECT_EQ(logOut(&client, table, "other"), 1);
}

}  // namespace
}  // namespace sorvik
