// The shared table's lifetime, seen from several attachments: a test process
// holds several Clients, and on Linux forked children stand for other
// processes. The attachments of one process run on Windows too; there other
// processes are the helper's (tests/win32/region_test.cc).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#ifndef _WIN32
#include "support/scratch.h"
#endif
#include "support/scratch_site.h"
#include "table/accessors.h"
#include "table/administration.h"
#include "table/config_file.h"
#include "table/table.h"

namespace sorvik {
namespace {

// A configuration file's line, ended as the files of this platform end
// their lines, so that each platform reads the files its users write.
#ifdef _WIN32
std::string configLine(const std::string &text) { return text + "\r\n"; }
#else
std::string configLine(const std::string &text) { return text + "\n"; }
#endif

class Lifecycle : public test::ScratchSiteTest {};

TEST_F(Lifecycle, FirstAttachWithoutAFileGivesDefaults) {
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

TEST_F(Lifecycle, LaterAttachTakesTheTableAsItIs) {
    scratch.writeConfig(configLine("viewer 1 2 3 4"));
    Client *first = attached(0);
    ASSERT_EQ(first->table->proCount, 1);
    first->table->records[0].exeCount = 5;
    std::strcpy(first->table->records[0].message, "hello");
    scratch.writeConfig(configLine("other 1 2 3 4") + configLine("more 1 2 3 4"));

    Client *second = attached(1);
    EXPECT_NE(second->table, first->table) << "a view of its own";
    EXPECT_EQ(second->table->proCount, 1) << "the file is not read again";
    EXPECT_STREQ(second->table->records[0].proName, "viewer");
    EXPECT_EQ(second->table->records[0].exeCount, 5);
    EXPECT_STREQ(second->table->records[0].message, "hello");
    second->table->records[0].activeTime = 77;
    EXPECT_EQ(first->table->records[0].activeTime, 77) << "one region, seen at once";
}

TEST_F(Lifecycle, AttachAfterEveryoneLeftStartsAfresh) {
    scratch.writeConfig(configLine("viewer 1 2 3 4"));
    Client *a = attached(0);
    Client *b = attached(1);
    a->table->records[0].exeCount = 3;
    detach(a);
    EXPECT_EQ(b->table->records[0].exeCount, 3) << "still in use by the second";
    scratch.writeConfig(configLine("other 5 6 7 8"));
    detach(b);

    Client *c = attached(2);
    EXPECT_EQ(c->table->proCount, 1);
    EXPECT_STREQ(c->table->records[0].proName, "other");
    EXPECT_EQ(c->table->records[0].exeCount, 0);
}

#ifndef _WIN32

TEST_F(Lifecycle, AttachAfterTheOnlyHolderWasKilledStartsAfresh) {
    scratch.writeConfig("viewer 1 2 3 4\n");
    test::Child holder = test::forkChild([&](int out) {
        Client c;
        if (!attach(&c, scratch.site())) return 1;
        c.table->records[0].exeCount = 9;
        test::sendLine(out, "attached");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(holder, &line));
    Client *seen = attached(0);
    EXPECT_EQ(seen->table->records[0].exeCount, 9);
    detach(seen);

    test::killChild(&holder);
    Client *fresh = attached(1);
    EXPECT_EQ(fresh->table->records[0].exeCount, 0);
}

TEST_F(Lifecycle, ABuildGivenUpLeavesTheRegionToBeBuiltByTheNextAttach) {
    const auto open = [&](platform::BuildRegion build, int *builds, platform::SharedRegion *region, int *error) {
        return platform::openRegion(scratch.runDirectory.c_str(), scratch.regionName.c_str(), sizeof(ProTable),
                                    sizeof(Journal), build, builds, region, error);
    };
    const platform::BuildRegion givesUp = [](void *builds, platform::SharedRegion *region) {
        ++*static_cast<int *>(builds);
        static_cast<ProTable *>(region->table)->proCount = 7;
        return false;
    };
    const platform::BuildRegion builds = [](void *builds, platform::SharedRegion *) {
        ++*static_cast<int *>(builds);
        return true;
    };
    int calls = 0;
    int error = -1;
    platform::SharedRegion region;
    EXPECT_FALSE(open(givesUp, &calls, &region, &error));
    EXPECT_EQ(error, 0) << "a build given up is no failure of the system's";
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(region.table, nullptr) << "left detached";
    EXPECT_EQ(region.state, nullptr);

    ASSERT_TRUE(open(builds, &calls, &region, &error)) << std::strerror(error);
    EXPECT_EQ(calls, 2) << "the next attach found the region unused and built it";
    EXPECT_EQ(static_cast<ProTable *>(region.table)->proCount, 0) << "from zero bytes, nothing of the half build";
    platform::SharedRegion second;
    ASSERT_TRUE(open(builds, &calls, &second, &error)) << std::strerror(error);
    EXPECT_EQ(calls, 2) << "a region in use is taken as it is";
    platform::closeRegion(&second);
    platform::closeRegion(&region);
}

TEST_F(Lifecycle, ARegionThatCannotBeOpenedLeavesTheClientDetached) {
    Client c;
    // The region's name leads into a directory that does not exist.
    const Site bad{scratch.configPath.c_str(), "no/such/region", scratch.runDirectory.c_str()};
    EXPECT_FALSE(attach(&c, bad));
    EXPECT_EQ(c.table, nullptr);
    TableLock lock(&c);
    EXPECT_EQ(lock.table(), nullptr);
    EXPECT_EQ(recordsInUse(lock.table()), 0);
    EXPECT_EQ(recordAt(lock.table(), 0), nullptr);
}

TEST_F(Lifecycle, AHolderKilledInsideTheLockDoesNotBlockTheNext) {
    Client *c = attached(0);
    test::Child holder = test::forkChild([&](int out) {
        Client mine;
        if (!attach(&mine, scratch.site())) return 1;
        TableLock lock(&mine);
        test::sendLine(out, "locked");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(holder, &line));
    std::promise<bool> acquired;
    std::future<bool> waited = acquired.get_future();
    std::thread waiter([&] {
        TableLock lock(c);
        acquired.set_value(lock.table() != nullptr);
    });
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the lock is really held";
    test::killChild(&holder);
    if (waited.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the waiter is still blocked after the holder died";
        std::quick_exit(1);  // the waiter would use the region after the fixture unmaps it
    }
    EXPECT_TRUE(waited.get());
    waiter.join();
}

TEST_F(Lifecycle, AHolderThatLetGoOfTheRegionBeforeItEndedIsFoundGone) {
    // The system marks the lock of a holder that ends only while the holder
    // still maps it; these let go of the mapping first, halfway through a
    // change, so the next caller must find out for itself.
    const struct {
        const char *how;
        bool threadOnly;  // only the holding thread ends; its process lives on
    } ways[] = {{"the process ends", false}, {"only the thread ends", true}};
    for (const auto &way : ways) {
        scratch.writeConfig("viewer 1 2 3 4\nother 5 6 7 8\n");
        Client *c = attached(0);
        auto holdAndLetGo = [&](Client *mine) {
            if (platform::lockRegion(&mine->region) == platform::LockResult::failed) return;
            beginChange(mine);
            std::memmove(&mine->table->records[0], &mine->table->records[1], sizeof(ProStru));
            platform::closeRegion(&mine->region);
        };
        test::Child holder;
        if (way.threadOnly) {
            // A thread of this very process, with an attachment of its own.
            Client *mine = attached(1);
            std::thread(holdAndLetGo, mine).join();
        } else {
            holder = test::forkChild([&](int out) {
                Client mine;
                if (!attach(&mine, scratch.site())) return 1;
                holdAndLetGo(&mine);
                test::sendLine(out, "gone");
                return 0;
            });
            std::string line;
            ASSERT_TRUE(test::readLine(holder, &line)) << way.how;
        }
        bool answered = test::finishesWithin(std::chrono::seconds(5), [&] {
            const platform::LockResult got = platform::lockRegion(&c->region);
            EXPECT_EQ(got, platform::LockResult::ownerDied) << way.how;
            repairAfterDeath(c);
            EXPECT_EQ(c->table->proCount, 2) << way.how;
            EXPECT_STREQ(c->table->records[0].proName, "viewer") << way.how;
            EXPECT_STREQ(c->table->records[1].proName, "other") << way.how;
            platform::unlockRegion(&c->region);
        });
        if (holder.pid > 0) test::killChild(&holder);
        if (!answered) {
            ADD_FAILURE() << way.how << ": the lock of a holder that is gone was never given to the next caller";
            std::quick_exit(1);  // the waiter would use the region after the fixture unmaps it
        }
        detach(c);
    }
}

TEST_F(Lifecycle, AHolderThatIsSlowOrStoppedIsWaitedForAndNeverTakenOver) {
    const struct {
        const char *how;
        bool stopped;
    } ways[] = {{"sleeps while holding", false}, {"is stopped while holding", true}};
    for (const auto &way : ways) {
        scratch.writeConfig("viewer 1 2 3 4\n");
        Client *c = attached(0);
        test::Child holder = test::forkChild([&](int out) {
            Client mine;
            if (!attach(&mine, scratch.site())) return 1;
            TableLock lock(&mine);
            beginChange(&mine);
            mine.table->records[0].permitExeCount = 42;
            test::sendLine(out, "holding");
            // Several times as long as a waiter waits before it looks
            // whether the holder still exists.
            if (way.stopped)
                raise(SIGSTOP);
            else
                usleep(1000 * 1000);
            endChange(&mine);
            return 0;
        });
        std::string line;
        ASSERT_TRUE(test::readLine(holder, &line)) << way.how;
        // Joined at the end of the round, before the next fork, for the
        // reason finishesWithin joins its thread.
        std::jthread resumer;
        if (way.stopped) {
            ASSERT_TRUE(test::awaitStop(holder.pid, std::chrono::seconds(10), way.how));
            resumer = std::jthread([pid = holder.pid] {
                usleep(1000 * 1000);
                kill(pid, SIGCONT);
            });
        }
        ASSERT_TRUE(test::finishesWithin(std::chrono::seconds(10), [&] {
            EXPECT_EQ(platform::lockRegion(&c->region), platform::LockResult::acquired) << way.how;
            EXPECT_EQ(c->table->records[0].permitExeCount, 42) << way.how << ": the holder's change was undone";
            platform::unlockRegion(&c->region);
        })) << way.how;
        EXPECT_EQ(test::waitChild(&holder), 0) << way.how;
        detach(c);
    }
}

TEST_F(Lifecycle, AChangeCutShortByDeathIsRolledBack) {
    scratch.writeConfig("viewer 1 2 3 4\nother 5 6 7 8\n");
    Client *c = attached(0);
    test::Child changer = test::forkChild([&](int out) {
        Client mine;
        if (!attach(&mine, scratch.site())) return 1;
        TableLock lock(&mine);
        beginChange(&mine);
        std::memmove(&mine.table->records[0], &mine.table->records[1], sizeof(ProStru));
        test::sendLine(out, "half done");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(changer, &line));
    test::killChild(&changer);
    ASSERT_TRUE(test::finishesWithin(std::chrono::seconds(5), [&] {
        TableLock lock(c);
        EXPECT_EQ(lock.table()->proCount, 2);
        EXPECT_STREQ(lock.table()->records[0].proName, "viewer");
        EXPECT_STREQ(lock.table()->records[1].proName, "other");
    }));
}

TEST_F(Lifecycle, AFinishedChangeIsKeptAfterALaterDeath) {
    scratch.writeConfig("viewer 1 2 3 4\n");
    Client *c = attached(0);
    test::Child changer = test::forkChild([&](int out) {
        Client mine;
        if (!attach(&mine, scratch.site())) return 1;
        {
            TableLock lock(&mine);
            beginChange(&mine);
            mine.table->records[0].permitExeCount = 42;
            endChange(&mine);
        }
        TableLock again(&mine);
        test::sendLine(out, "done");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(changer, &line));
    test::killChild(&changer);
    ASSERT_TRUE(test::finishesWithin(std::chrono::seconds(5), [&] {
        TableLock lock(c);
        EXPECT_EQ(lock.table()->records[0].permitExeCount, 42);
    }));
}

// A table built while its file could not be read lacks the file's records:
// every save is refused, telling why, and the file stays as it is.
TEST_F(Lifecycle, AFileThatCannotBeReadIsNeverOverwritten) {
    const std::string records = "viewer    1\t2   -1   0\r\nother    0\t3   5   7\r\n";
    struct Case {
        const char *what;
        bool otherUser;  // loaded by the user nobody (needs root)
        std::function<void(const std::string &path)> arrange;
        int error;
    } cases[] = {
        {"a FIFO", false, [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, ENODEV},
        {"a directory", false, [](const std::string &p) { ASSERT_TRUE(std::filesystem::create_directory(p)); },
         EISDIR},
        {"another user's file of mode 0600", true,
         [&](const std::string &p) {
             test::writeFile(p, records);
             ASSERT_EQ(chmod(p.c_str(), 0600), 0);
             ASSERT_EQ(chmod(std::filesystem::path(p).parent_path().c_str(), 0777), 0);
         },
         EACCES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherUser && geteuid() != 0) {
            std::printf("skipped \"%s\": needs root, to load as the user nobody\n", c.what);
            continue;
        }
        test::ScratchSite site;
        c.arrange(site.configPath);
        // The other user shares nothing with the owner but the file's
        // directory: the table's run directory is its own.
        if (c.otherUser) {
            ASSERT_EQ(chown(site.runDirectory.c_str(), 65534, 65534), 0);
        }
        struct stat before;
        ASSERT_EQ(lstat(site.configPath.c_str(), &before), 0);
        test::Child child = test::forkChild([&](int out) {
            if (c.otherUser && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) return 90;
            Client mine;
            if (!attach(&mine, site.site())) return 91;
            TableLock lock(&mine);
            errno = 0;
            const int32_t added = appendRecord(&mine, lock.table(), "added", RecordSettings{0, 1, 0, 0});
            const int addError = errno;
            errno = 0;
            const int32_t deleted = deleteRecord(&mine, lock.table(), 0);
            test::sendLine(out, "load " + std::to_string(mine.journal->loadError) + " add " + std::to_string(added) +
                                    " " + std::to_string(addError) + " delete " + std::to_string(deleted) + " " +
                                    std::to_string(errno) + " count " + std::to_string(lock.table()->proCount));
            return 0;
        });
        std::string line;
        EXPECT_TRUE(test::readLine(child, &line, std::chrono::seconds(5))) << "the load did not end";
        test::waitChild(&child);
        const std::string e = std::to_string(c.error);
        EXPECT_EQ(line, "load " + e + " add 3 " + e + " delete 3 " + e + " count 0");
        struct stat after;
        ASSERT_EQ(lstat(site.configPath.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (S_ISREG(after.st_mode)) {
            EXPECT_EQ(site.readConfig(), records);
        }
    }
}

TEST_F(Lifecycle, OnlyARebuildThatReadsTheFileEndsTheRefusal) {
    ASSERT_TRUE(std::filesystem::create_directory(scratch.configPath));
    Client *first = attached(0);
    EXPECT_EQ(appendRecord(first, first->table, "early", RecordSettings{0, 1, 0, 0}), kNotSaved);

    // The file becomes readable, but the table was built without it.
    std::filesystem::remove(scratch.configPath);
    const std::string records = "viewer    1\t2   -1   0\r\n";
    scratch.writeConfig(records);
    Client *second = attached(1);
    EXPECT_EQ(second->journal->loadError, EISDIR);
    errno = 0;
    EXPECT_EQ(appendRecord(second, second->table, "later", RecordSettings{0, 1, 0, 0}), kNotSaved);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(scratch.readConfig(), records);

    detach(first);
    detach(second);
    Client *rebuilt = attached(2);
    EXPECT_EQ(rebuilt->journal->loadError, 0);
    ASSERT_EQ(rebuilt->table->proCount, 1);
    EXPECT_EQ(appendRecord(rebuilt, rebuilt->table, "added", RecordSettings{0, 1, 0, 0}), kDone);
    EXPECT_EQ(scratch.readConfig(), records + "added    0\t1   0   0\r\n");
}

#endif  // forked children

}  // namespace
}  // namespace sorvik
