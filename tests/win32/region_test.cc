// The shared region on Windows, seen from several attachments: the test
// process holds several Clients, and helper processes stand for others.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/windows_support.h"
#include "table/accessors.h"
#include "table/table.h"

#ifndef SORVIK_HELPER
#error "SORVIK_HELPER names the helper program"
#endif

namespace sorvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class Region : public ::testing::Test {
  protected:
    void TearDown() override {
        for (Client &c : clients) detach(&c);
    }
    Client *attached(int i) {
        EXPECT_TRUE(attach(&clients[i], scratch.site()));
        return &clients[i];
    }
    // A helper process attached to this test's region, running `commands`
    // after the attach and then holding; the lines it printed.
    std::string startHelper(std::unique_ptr<wintest::Child> *child, std::vector<std::string> commands) {
        commands.insert(commands.begin(), {"attach", scratch.regionName, scratch.configPath});
        std::string printed;
        *child = wintest::startHolding(wintest::besideThisProgram(SORVIK_HELPER), commands, &printed);
        return printed;
    }
    wintest::ScratchSite scratch;
    Client clients[3];
};

TEST_F(Region, FirstAttachWithoutAFileGivesDefaults) {
    Client *c = attached(0);
    ASSERT_NE(c->table, nullptr);
    EXPECT_EQ(c->table->proCount, 0);
    uint8_t host[4];
    platform::hostAddress(host);
    for (const ProStru &r : c->table->records) {
        EXPECT_EQ(r.proName[0], '\0');
        EXPECT_EQ(std::memcmp(r.hostAddr, host, 4), 0);
        EXPECT_EQ(r.permitExeCount, 0);
        EXPECT_EQ(r.minExeCount, 0);
        EXPECT_EQ(r.exeCount, 0);
        EXPECT_EQ(r.activeTime, 0);
        EXPECT_EQ(r.userParamA, -1);
        EXPECT_EQ(r.userParamB, 0);
        EXPECT_EQ(r.presetValue, 100);
        EXPECT_EQ(r.message[0], '\0');
    }
}

TEST_F(Region, LaterAttachTakesTheTableAsItIs) {
    scratch.writeConfig("viewer 1 2 3 4\r\n");
    Client *first = attached(0);
    ASSERT_EQ(first->table->proCount, 1);
    first->table->records[0].exeCount = 5;
    std::strcpy(first->table->records[0].message, "hello");
    scratch.writeConfig("other 1 2 3 4\r\nmore 1 2 3 4\r\n");

    Client *second = attached(1);
    EXPECT_NE(second->table, first->table) << "a view of its own";
    EXPECT_EQ(second->table->proCount, 1) << "the file is not read again";
    EXPECT_EQ(second->table->records[0].exeCount, 5);
    EXPECT_STREQ(second->table->records[0].message, "hello");
    second->table->records[0].activeTime = 77;
    EXPECT_EQ(first->table->records[0].activeTime, 77) << "one region, seen at once";
}

TEST_F(Region, AttachAfterEveryoneLeftStartsAfresh) {
    scratch.writeConfig("viewer 1 2 3 4\r\n");
    Client *a = attached(0);
    Client *b = attached(1);
    a->table->records[0].exeCount = 3;
    detach(a);
    EXPECT_EQ(b->table->records[0].exeCount, 3) << "still in use by the second";
    scratch.writeConfig("other 5 6 7 8\r\n");
    detach(b);

    Client *c = attached(2);
    EXPECT_EQ(c->table->proCount, 1);
    EXPECT_STREQ(c->table->records[0].proName, "other");
    EXPECT_EQ(c->table->records[0].exeCount, 0);
}

TEST_F(Region, AnotherProcessSharesItUntilItIsKilled) {
    scratch.writeConfig("viewer 1 2 3 4\r\n");
    std::unique_ptr<wintest::Child> holder;
    EXPECT_EQ(startHelper(&holder, {"set-exe", "0", "9"}), "attached\nset\n");
    Client *seen = attached(0);
    EXPECT_EQ(seen->table->proCount, 1);
    EXPECT_EQ(seen->table->records[0].exeCount, 9) << "the helper's table";
    detach(seen);

    holder->kill();
    Client *fresh = attached(1);
    EXPECT_EQ(fresh->table->proCount, 1);
    EXPECT_EQ(fresh->table->records[0].exeCount, 0) << "built again once its only holder died";
}

TEST_F(Region, AHolderKilledInsideTheLockDoesNotBlockTheNext) {
    Client *c = attached(0);
    std::unique_ptr<wintest::Child> holder;
    EXPECT_EQ(startHelper(&holder, {"lock"}), "attached\nlocked\n");
    EXPECT_FALSE(wintest::finishesWithin(milliseconds(200), [&] { TableLock blocked(c); }))
        << "the lock is really held";
    // The thread above still waits for the lock; killing the holder frees it.
    holder->kill();
    EXPECT_TRUE(wintest::finishesWithin(seconds(5), [&] {
        TableLock lock(c);
        EXPECT_NE(lock.table(), nullptr);
    }));
}

TEST_F(Region, AChangeCutShortByDeathIsRolledBack) {
    scratch.writeConfig("viewer 1 2 3 4\r\nother 5 6 7 8\r\n");
    Client *c = attached(0);
    std::unique_ptr<wintest::Child> changer;
    EXPECT_EQ(startHelper(&changer, {"lock", "begin-change", "copy-record", "1", "0"}),
              "attached\nlocked\nbegun\ncopied\n");
    EXPECT_STREQ(c->table->records[0].proName, "other") << "the change is under way";
    changer->kill();
    ASSERT_TRUE(wintest::finishesWithin(seconds(5), [&] {
        TableLock lock(c);
        ASSERT_NE(lock.table(), nullptr);
        EXPECT_EQ(lock.table()->proCount, 2);
        EXPECT_STREQ(lock.table()->records[0].proName, "viewer");
        EXPECT_STREQ(lock.table()->records[1].proName, "other");
    }));
}

TEST_F(Region, TheLockKeepsProcessesOutOfEachOthersChanges) {
    Client *c = attached(0);
    constexpr int kProcesses = 3;
    constexpr int kEach = 2000;
    std::vector<std::unique_ptr<wintest::Child>> workers;
    for (int i = 0; i < kProcesses; ++i)
        workers.push_back(std::make_unique<wintest::Child>(
            wintest::besideThisProgram(SORVIK_HELPER),
            std::vector<std::string>{"attach", scratch.regionName, scratch.configPath, "increment", "0",
                                     std::to_string(kEach), "hold"}));
    for (auto &worker : workers) {
        std::string all, line;
        while (worker->readLine(&line, std::chrono::seconds(60)) && line != "holding") all += line + "\n";
        EXPECT_EQ(all, "attached\nincremented\n");
    }
    TableLock lock(c);
    EXPECT_EQ(lock.table()->records[0].exeCount, kProcesses * kEach) << "no increment lost";
}

TEST_F(Region, ARegionThatCannotBeMadeLeavesTheClientDetached) {
    // A backslash names an object namespace that does not exist; a mutex
    // holding the name keeps a mapping from taking it.
    const std::string nested = "no\\such\\" + scratch.regionName;
    const wintest::Held squatter = wintest::namedMutex(scratch.regionName + "_taken");
    ASSERT_TRUE(squatter.valid());
    const std::string taken = scratch.regionName + "_taken";
    for (const std::string &name : {nested, taken}) {
        SCOPED_TRACE(name);
        Client c;
        const Site bad{scratch.configPath.c_str(), name.c_str(), ""};
        EXPECT_FALSE(attach(&c, bad));
        EXPECT_EQ(c.table, nullptr);
        TableLock lock(&c);
        EXPECT_EQ(lock.table(), nullptr);
        EXPECT_EQ(recordsInUse(lock.table()), 0);
    }
}

}  // namespace
}  // namespace sorvik
