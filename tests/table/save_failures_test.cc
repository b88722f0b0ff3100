// A save on a real file whose system calls fail one at a time: each failure
// of the replacement leaves the old file whole and nothing beside it, and is
// told as the change's result with the system's errno; the failures the save
// can work around leave the new file whole instead.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "platform/posix/file_calls.h"
#include "support/scratch.h"
#include "table/accessors.h"
#include "table/administration.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

const std::string kOld = "viewer    1\t2   -1   0\r\nreport    1\t1   0   0\r\n";

// The errno that the call made to fail gives.
int gFailure = 0;

// Puts every call back as it was, whatever the test did to them.
class CallsRestored {
  public:
    CallsRestored() : saved_(platform::fileCalls) {}
    ~CallsRestored() { platform::fileCalls = saved_; }

  private:
    platform::FileCalls saved_;
};

// Each makes one call fail with gFailure.
void failMakeTemporary(platform::FileCalls *c) {
    c->makeTemporary = [](char *, int) {
        errno = gFailure;
        return -1;
    };
}
void failWrite(platform::FileCalls *c) {
    c->write = [](int, const void *, size_t) -> ssize_t {
        errno = gFailure;
        return -1;
    };
}
void failFchmod(platform::FileCalls *c) {
    c->fchmod = [](int, mode_t) {
        errno = gFailure;
        return -1;
    };
}
void failFchown(platform::FileCalls *c) {
    c->fchown = [](int, uid_t, gid_t) {
        errno = gFailure;
        return -1;
    };
}
void failFsync(platform::FileCalls *c) {
    c->fsync = [](int) {
        errno = gFailure;
        return -1;
    };
}
void failRename(platform::FileCalls *c) {
    c->rename = [](const char *, const char *) {
        errno = gFailure;
        return -1;
    };
}
void failSyncDirectory(platform::FileCalls *c) {
    c->syncDirectory = [](int) {
        errno = gFailure;
        return -1;
    };
}

struct Case {
    const char *call;
    int error;
    void (*breakCall)(platform::FileCalls *calls);
    int32_t result;
    bool replaced;  // the file holds the changed table afterwards; otherwise it holds kOld
};

const Case kCases[] = {
    {"the temporary's creation", ENOSPC, failMakeTemporary, kNotSaved, false},
    // A directory that refuses a new file: the file is rewritten in place.
    {"the temporary's creation", EACCES, failMakeTemporary, kDone, true},
    {"write", ENOSPC, failWrite, kNotSaved, false},
    {"write", EIO, failWrite, kNotSaved, false},
    {"fchmod", EIO, failFchmod, kNotSaved, false},
    // Keeping the old owner is the best the save can do, not a condition.
    {"fchown", EPERM, failFchown, kDone, true},
    {"fsync", EIO, failFsync, kNotSaved, false},
    {"rename", EIO, failRename, kNotSaved, false},
    {"rename", ENOSPC, failRename, kNotSaved, false},
    {"rename", EACCES, failRename, kDone, true},
    // Once renamed, the new file stands, whether or not its directory syncs.
    {"the directory's fsync", EIO, failSyncDirectory, kDone, true},
};

std::set<std::string> namesIn(const std::string &directory) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

class SaveFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch.writeConfig(kOld);
        ASSERT_TRUE(attach(&client, scratch.site()));
        table = client.table;
        before = namesIn(scratch.directory);
    }
    void TearDown() override { detach(&client); }

    // Changes viewer's limits, which saves the table.
    int32_t change(int32_t permit) {
        const int32_t index = findByBaseName(table, "viewer");
        EXPECT_GE(index, 0);
        return changeLimits(&client, table, index, 0, permit);
    }

    test::ScratchSite scratch;
    Client client;
    ProTable *table = nullptr;
    std::set<std::string> before;
};

TEST_F(SaveFailures, EachFailingCallLeavesOneWholeFileAndNothingBeside) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.call) + " failing with " + std::strerror(c.error));
        scratch.writeConfig(kOld);
        int32_t result;
        int reported;
        {
            CallsRestored restored;
            gFailure = c.error;
            c.breakCall(&platform::fileCalls);
            errno = 0;
            result = change(9);
            reported = errno;
        }
        EXPECT_EQ(result, c.result);
        if (c.result == kNotSaved) {
            EXPECT_EQ(reported, c.error) << std::strerror(reported);
        }
        EXPECT_EQ(table->records[0].permitExeCount, 9) << "the change stays in the table";
        EXPECT_EQ(scratch.readConfig(), c.replaced ? formatConfig(*table) : kOld);
        EXPECT_EQ(namesIn(scratch.directory), before) << "no temporary is left beside the file";
        // With the calls as they are, the same change is saved.
        EXPECT_EQ(change(9), kDone);
        EXPECT_EQ(scratch.readConfig(), formatConfig(*table));
    }
}

TEST_F(SaveFailures, ATemporaryThatCouldNotBeRemovedGoesWithTheNextSave) {
    {
        CallsRestored restored;
        gFailure = EIO;
        failRename(&platform::fileCalls);
        platform::fileCalls.unlink = [](const char *) {
            errno = EACCES;
            return -1;
        };
        errno = 0;
        EXPECT_EQ(change(9), kNotSaved);
        EXPECT_EQ(errno, EIO) << "the failure that stopped the save, not the clean-up's";
    }
    EXPECT_EQ(scratch.readConfig(), kOld);
    EXPECT_EQ(namesIn(scratch.directory).size(), before.size() + 1) << "the temporary stays";

    EXPECT_EQ(change(9), kDone);
    EXPECT_EQ(scratch.readConfig(), formatConfig(*table));
    EXPECT_EQ(namesIn(scratch.directory), before) << "the next save removed it";
}

}  // namespace
}  // namespace sorvik
