// The shared region on Windows, seen from several processes: helper
// processes stand for the others. The attachments of one process are the
// lifecycle tests (tests/table/lifecycle_test.cc), which run here too.
#include <gtest/gtest.h>

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

class Region : public test::ScratchSiteTest {
  protected:
    // A helper process attached to this test's region, running `commands`
    // after the attach and then holding; the lines it printed.
    std::string startHelper(std::unique_ptr<wintest::Child> *child, std::vector<std::string> commands) {
        commands.insert(commands.begin(), {"attach", scratch.regionName, scratch.configPath});
        std::string printed;
        *child = wintest::startHolding(wintest::besideThisProgram(SORVIK_HELPER), commands, &printed);
        return printed;
    }
};

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
