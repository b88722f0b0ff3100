// The region's objects in the run directory: what an attach makes there, what
// it refuses to use, and what it does with objects that do not hold what
// this library wrote.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/scratch.h"
#include "table/table.h"

namespace sorvik {
namespace {

// A group that no file of the test's own has, for the cases that need root.
constexpr gid_t kOtherGroup = 54321;

class RegionFiles : public ::testing::Test {
  protected:
    void TearDown() override {
        detach(&user);
        detach(&next);
    }
    std::string object(const std::string &suffix) const {
        return scratch.runDirectory + "/" + scratch.regionName + suffix;
    }
    struct stat statOf(const std::string &path) const {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    // Overwrites `bytes` at `offset` of the object with their complement.
    void flip(const std::string &suffix, off_t offset, size_t bytes) const {
        const int fd = open(object(suffix).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        unsigned char data[16];
        ASSERT_EQ(pread(fd, data, bytes, offset), static_cast<ssize_t>(bytes));
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>(~data[i]);
        ASSERT_EQ(pwrite(fd, data, bytes, offset), static_cast<ssize_t>(bytes));
        close(fd);
    }
    void resize(const std::string &suffix, off_t bytes) const {
        ASSERT_EQ(truncate(object(suffix).c_str(), bytes), 0);
    }
    off_t sizeOf(const std::string &suffix) const { return statOf(object(suffix)).st_size; }

    test::ScratchSite scratch;
    Client user;
    Client next;
};

TEST_F(RegionFiles, AttachMakesTwoRegularFilesForTheDirectorysGroupOnly) {
    {
        test::Umask narrow(077);
        ASSERT_TRUE(attach(&user, scratch.site()));
    }
    const struct stat directory = statOf(scratch.runDirectory);
    for (const std::string suffix : {"", ".lock"}) {
        const struct stat st = statOf(object(suffix));
        EXPECT_TRUE(S_ISREG(st.st_mode)) << suffix;
        EXPECT_EQ(st.st_mode & 07777, 0660u) << suffix;
        EXPECT_EQ(st.st_gid, directory.st_gid) << suffix;
    }
    EXPECT_EQ(sizeOf(""), static_cast<off_t>(sizeof(ProTable)));
}

TEST_F(RegionFiles, ObjectsTakeTheDirectorysGroupEvenWithoutTheSetgidBit) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the run directory a group of its own";
    for (const mode_t mode : {02770, 0770}) {
        test::ScratchSite site;
        ASSERT_EQ(chown(site.runDirectory.c_str(), 0, kOtherGroup), 0);
        ASSERT_EQ(chmod(site.runDirectory.c_str(), mode), 0);
        Client c;
        ASSERT_TRUE(attach(&c, site.site())) << std::oct << mode;
        for (const std::string suffix : {"", ".lock"})
            EXPECT_EQ(statOf(site.runDirectory + "/" + site.regionName + suffix).st_gid, kOtherGroup)
                << std::oct << mode << " " << suffix;
        detach(&c);
    }
}

TEST_F(RegionFiles, ARunDirectoryThatIsMissingOrOpenToOthersIsRefused) {
    struct Case {
        const char *what;
        void (*prepare)(const test::ScratchSite &site);
        int errors[2];  // the error the attach gives, either of two
    };
    const Case cases[] = {
        {"missing", [](const test::ScratchSite &s) { rmdir(s.runDirectory.c_str()); }, {ENOENT, ENOENT}},
        {"a symbolic link to a directory",
         [](const test::ScratchSite &s) {
             rmdir(s.runDirectory.c_str());
             mkdir((s.directory + "/real").c_str(), 0755);
             symlink((s.directory + "/real").c_str(), s.runDirectory.c_str());
         },
         {ELOOP, ENOTDIR}},
        {"a regular file",
         [](const test::ScratchSite &s) {
             rmdir(s.runDirectory.c_str());
             close(open(s.runDirectory.c_str(), O_CREAT | O_WRONLY, 0644));
         },
         {ENOTDIR, ENOTDIR}},
        {"writable by everyone", [](const test::ScratchSite &s) { chmod(s.runDirectory.c_str(), 0777); }, {EPERM, EPERM}},
        {"writable by everyone, sticky", [](const test::ScratchSite &s) { chmod(s.runDirectory.c_str(), 01777); },
         {EPERM, EPERM}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::ScratchSite site;
        c.prepare(site);
        Client client;
        EXPECT_FALSE(attach(&client, site.site()));
        EXPECT_EQ(client.table, nullptr);
        EXPECT_TRUE(client.attachError == c.errors[0] || client.attachError == c.errors[1])
            << std::strerror(client.attachError);
        EXPECT_NE(access((site.runDirectory + "/" + site.regionName + ".lock").c_str(), F_OK), 0)
            << "nothing is made in or instead of the directory";
    }
}

TEST_F(RegionFiles, PlantedObjectsAreRefusedAndLeftAsTheyAre) {
    struct Case {
        const char *what;
        bool needsRoot;
        void (*plant)(const std::string &path, const std::string &elsewhere);
        int error;
    };
    const Case cases[] = {
        {"a symbolic link", false,
         [](const std::string &path, const std::string &elsewhere) { symlink(elsewhere.c_str(), path.c_str()); },
         ELOOP},
        {"a named pipe", false, [](const std::string &path, const std::string &) { mkfifo(path.c_str(), 0660); },
         EINVAL},
        {"a directory", false, [](const std::string &path, const std::string &) { mkdir(path.c_str(), 0770); },
         EISDIR},
        {"a file everyone may read and write", false,
         [](const std::string &path, const std::string &) {
             close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
             chmod(path.c_str(), 0666);
         },
         EPERM},
        {"a file others may read", false,
         [](const std::string &path, const std::string &) {
             close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
             chmod(path.c_str(), 0604);
         },
         EPERM},
        {"a file of another group", true,
         [](const std::string &path, const std::string &) {
             close(open(path.c_str(), O_CREAT | O_WRONLY, 0660));
             chown(path.c_str(), 0, kOtherGroup);
         },
         EPERM},
    };
    for (const Case &c : cases) {
        if (c.needsRoot && geteuid() != 0) continue;
        for (const std::string suffix : {"", ".lock"}) {
            SCOPED_TRACE(std::string(c.what) + " as the object '" + suffix + "'");
            test::ScratchSite site;
            const std::string path = site.runDirectory + "/" + site.regionName + suffix;
            const std::string elsewhere = site.directory + "/elsewhere";
            test::writeFile(elsewhere, "untouched");
            struct stat before {};
            c.plant(path, elsewhere);
            ASSERT_EQ(lstat(path.c_str(), &before), 0);
            Client client;
            EXPECT_FALSE(attach(&client, site.site()));
            EXPECT_EQ(client.attachError, c.error) << std::strerror(client.attachError);
            struct stat after {};
            ASSERT_EQ(lstat(path.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_size, before.st_size);
            EXPECT_EQ(test::readFile(elsewhere), "untouched");
        }
    }
}

struct Damage {
    const char *what;
    const char *suffix;
    off_t resizeTo;  // -1: keep the size, else the object's new size (-2: one page more than now)
    off_t flipAt;    // -1: no bytes changed
};

// Damage that a process attached meanwhile survives: nothing shrinks under it.
const Damage kDamageInUse[] = {
    {"a longer table", "", -2, -1},
    {"a longer lock object", ".lock", -2, -1},
    {"the lock's magic", ".lock", -1, 0},
    {"the lock's layout word", ".lock", -1, 4},
    {"the table size the lock records", ".lock", -1, 8},
    {"the journal size the lock records", ".lock", -1, 16},
};

const Damage kDamageUnused[] = {
    {"an empty table", "", 0, -1},
    {"a shorter table", "", 100, -1},
    {"an empty lock object", ".lock", 0, -1},
    {"a shorter lock object", ".lock", 64, -1},
};

TEST_F(RegionFiles, DamagedObjectsNobodyUsesAreBuiltAgain) {
    std::vector<Damage> all(std::begin(kDamageInUse), std::end(kDamageInUse));
    all.insert(all.end(), std::begin(kDamageUnused), std::end(kDamageUnused));
    scratch.writeConfig("viewer 1 2 3 4\n");
    for (const Damage &d : all) {
        SCOPED_TRACE(d.what);
        ASSERT_TRUE(attach(&user, scratch.site()));
        const off_t tableBytes = sizeOf(""), lockBytes = sizeOf(".lock");
        user.table->records[0].exeCount = 7;
        detach(&user);
        if (d.resizeTo != -1) resize(d.suffix, d.resizeTo == -2 ? sizeOf(d.suffix) + 4096 : d.resizeTo);
        if (d.flipAt >= 0) flip(d.suffix, d.flipAt, 4);

        ASSERT_TRUE(attach(&user, scratch.site())) << std::strerror(user.attachError);
        EXPECT_EQ(user.table->proCount, 1);
        EXPECT_STREQ(user.table->records[0].proName, "viewer");
        EXPECT_EQ(user.table->records[0].exeCount, 0) << "built afresh";
        EXPECT_EQ(sizeOf(""), tableBytes);
        EXPECT_EQ(sizeOf(".lock"), lockBytes);
        {
            TableLock lock(&user);
            EXPECT_NE(lock.table(), nullptr) << "the lock works again";
        }
        ASSERT_TRUE(attach(&next, scratch.site())) << "the rebuilt objects check out for the next process";
        EXPECT_EQ(next.table->proCount, 1);
        detach(&next);
        detach(&user);
    }
}

TEST_F(RegionFiles, DamagedObjectsInUseAreRefusedAndLeftToTheirUsers) {
    scratch.writeConfig("viewer 1 2 3 4\n");
    for (const Damage &d : kDamageInUse) {
        SCOPED_TRACE(d.what);
        ASSERT_TRUE(attach(&user, scratch.site()));
        user.table->records[0].exeCount = 7;
        if (d.resizeTo != -1) resize(d.suffix, sizeOf(d.suffix) + 4096);
        if (d.flipAt >= 0) flip(d.suffix, d.flipAt, 4);

        EXPECT_FALSE(attach(&next, scratch.site()));
        EXPECT_EQ(next.table, nullptr);
        EXPECT_EQ(next.attachError, EUCLEAN) << std::strerror(next.attachError);
        EXPECT_EQ(user.table->records[0].exeCount, 7) << "the table in use is left alone";
        detach(&user);
    }
}

}  // namespace
}  // namespace sorvik
