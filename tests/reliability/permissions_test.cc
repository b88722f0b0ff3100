// Permissions: the region belongs to its creator alone, a save never makes
// the file world-writable, and a process of another user can neither read
// nor change the table, getting the answers of an empty table instead.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "reliability/clients.h"
#include "support/probe_session.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

// Sets a umask for the length of a scope, so that no mode a test checks
// comes from the umask it happened to run with.
struct Umask {
    explicit Umask(mode_t mask) : old(umask(mask)) {}
    ~Umask() { umask(old); }
    mode_t old;
};

mode_t modeOf(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

TEST(Permissions, TheRegionAndItsLockAreTheOwnersOnly) {
    test::ScratchSite scratch;
    Client client;
    {
        Umask open(0);
        ASSERT_TRUE(attach(&client, scratch.site()));
    }
    for (const std::string suffix : {"", ".lock"}) {
        const std::string path = "/dev/shm/" + scratch.regionName + suffix;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
        EXPECT_EQ(st.st_uid, geteuid()) << path;
    }
    detach(&client);
}

TEST(Permissions, ARegionThatOthersMayOpenIsRefused) {
    for (const std::string suffix : {"", ".lock"}) {
        test::ScratchSite scratch;
        Client client;
        ASSERT_TRUE(attach(&client, scratch.site()));
        detach(&client);
        const std::string path = "/dev/shm/" + scratch.regionName + suffix;
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        EXPECT_FALSE(attach(&client, scratch.site())) << path << " is open to everyone";
        EXPECT_EQ(client.table, nullptr);
    }
}

TEST(Permissions, ASaveKeepsTheOldModeButNeverLetsEveryoneWrite) {
    struct Case {
        mode_t before;  // 0 for no file yet
        mode_t after;
    };
    const Case cases[] = {{0, 0644}, {0600, 0600}, {0640, 0640}, {0664, 0664}, {0666, 0664}, {0777, 0775}, {0602, 0600}};
    ProTable table;
    const uint8_t host[4] = {0, 0, 0, 0};
    fillDefaults(&table, host);
    const std::string text = "viewer    1\t2   -1   0\r\n";
    parseConfig(text.data(), text.size(), &table);
    for (const Case &c : cases) {
        test::ScratchSite scratch;
        Umask wide(0);
        if (c.before != 0) {
            scratch.writeConfig("old 0 0 0 0\n");
            ASSERT_EQ(chmod(scratch.configPath.c_str(), c.before), 0);
        }
        ASSERT_TRUE(saveTable(scratch.configPath.c_str(), table));
        EXPECT_EQ(modeOf(scratch.configPath), c.after) << "a file of mode " << std::oct << c.before;
        EXPECT_EQ(scratch.readConfig(), text);
    }
}

class OtherUser : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRegion);
        char pattern[] = "/tmp/sorvik-other-XXXXXX";
        directory = mkdtemp(pattern);
    }
    void TearDown() override {
        test::removeRegion(test::kSiteRegion);
        std::remove(test::kSiteConfig.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    // The build tree need not be open to others: the probe and the test
    // site's library go into a directory that nobody can enter.
    std::string copyProbe() const {
        namespace fs = std::filesystem;
        fs::permissions(directory, fs::perms(0755));
        fs::copy_file(test::kProbe, directory + "/sorvik_probe");
        fs::copy_file(test::kTestSiteLibrary, directory + "/libsorvik.so.1");
        return directory + "/sorvik_probe";
    }
    std::string directory;
};

TEST_F(OtherUser, CannotReadOrChangeTheTableAndGetsTheEmptyTablesAnswers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the probe as the user nobody";
    const std::string setpriv = "/usr/bin/setpriv";
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as nobody";

    const std::string name = test::uniqueName("viewer");
    const std::string config = name + "    1\t2   -1   0\r\n";
    test::writeFile(test::kSiteConfig, config);
    test::ProbeSession owner({"msg", name, "mine"});
    ASSERT_EQ(owner.ask("can " + name), "can " + name + " 1");

    const std::string probeCopy = copyProbe();
    int status = 0;
    const std::string out = test::runProgram(
        {setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env",
         "LD_LIBRARY_PATH=" + directory, probeCopy, "dump", "login", name, "logout", name, "can", name, "is", name,
         "must", name, "add", "intruder", "0", "1", "0", "0", "modify", name, "0", "0", "delete", name, "msg", name,
         "theirs", "reset", name, "message", "0", "theirs"},
        &status);
    EXPECT_EQ(status, 0) << "the probe as nobody did not end well:\n" << out;
    EXPECT_EQ(out, "count 0\nlogin " + name + " 1\nlogout " + name + " 0\ncan " + name + " 1\nis " + name +
                       " 0\nmust " + name + " 0\nadd intruder 2\nmodify " + name + " 2\ndelete " + name +
                       " 2\nmsg " + name + " 1\nreset " + name + " 1\nmessage no record\n");

    // The owner's table and file are as they were.
    EXPECT_EQ(owner.ask("is " + name), "is " + name + " 0");
    const std::string dump = test::probe({"dump"});
    EXPECT_EQ(dump.rfind("count 1\n0|" + name + "|" + name + "|min=1|permit=2|exe=0|", 0), 0u) << dump;
    EXPECT_NE(dump.find("msg=mine|"), std::string::npos) << dump;
    EXPECT_EQ(test::readFile(test::kSiteConfig), config);
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm/" + test::kSiteRegion).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the region is still root's";
}

TEST_F(OtherUser, ARegionAnotherUserCreatedFirstIsNotUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the probe as the user nobody";
    const std::string setpriv = "/usr/bin/setpriv";
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as nobody";
    const std::string name = test::uniqueName("viewer");
    test::writeFile(test::kSiteConfig, name + "    1\t2   -1   0\r\n");
    const std::string probeCopy = copyProbe();

    // nobody creates the region before any of root's processes, and keeps it.
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    test::Child squatter = test::forkChild([&](int out) {
        dup2(out, 1);
        dup2(input[0], 0);
        close(input[1]);
        const std::string library = "LD_LIBRARY_PATH=" + directory;
        execl(setpriv.c_str(), setpriv.c_str(), "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env",
              library.c_str(), probeCopy.c_str(), "add", "planted", "0", "9", "0", "0", "msg", name.c_str(), "theirs",
              "hold", static_cast<char *>(nullptr));
        return 127;
    });
    close(input[0]);
    std::string line, seen;
    while (test::readLine(squatter, &line) && line != "holding") seen += line + "\n";
    ASSERT_EQ(line, "holding") << seen;
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm/" + test::kSiteRegion).c_str(), &st), 0);
    ASSERT_EQ(st.st_uid, 65534u) << "nobody's region";

    const std::string out = test::probe({"dump", "add", "mine", "0", "1", "0", "0"});
    EXPECT_EQ(out, "count 0\nadd mine 2\n") << "root's process took nobody's table";
    close(input[1]);
    EXPECT_EQ(test::waitChild(&squatter), 0);
}

// nobody is the first to load the library, and root's file of mode 0600 is
// not for nobody to read, in a directory nobody may write: nobody's table starts empty, but its saves never
// replace the records it could not see.
TEST_F(OtherUser, AFileTheLoaderMayNotReadIsNeverReplacedByItsEmptyTable) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the probe as the user nobody";
    const std::string setpriv = "/usr/bin/setpriv";
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as nobody";
    std::string config;
    for (int i = 0; i < 5; ++i) config += test::uniqueName("rec" + std::to_string(i)) + "    1\t2   -1   0\r\n";
    test::writeFile(test::kSiteConfig, config);
    ASSERT_EQ(chmod(test::kSiteConfig.c_str(), 0600), 0);
    // A directory nobody may write, so that only the library's own rule can
    // keep the file from being replaced; as it was afterwards.
    const std::string site = std::filesystem::path(test::kSiteConfig).parent_path().string();
    const mode_t siteMode = modeOf(site);
    ASSERT_EQ(chmod(site.c_str(), 0777), 0);
    struct Restore {
        std::string path;
        mode_t mode;
        ~Restore() { chmod(path.c_str(), mode); }
    } restore{site, siteMode};
    const std::string probeCopy = copyProbe();
    const std::string name = test::uniqueName("added");
    int status = 0;
    const std::string out =
        test::runProgram({setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env",
                          "LD_LIBRARY_PATH=" + directory, probeCopy, "dump", "add", name, "0", "1", "0", "0", "dump"},
                         &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.rfind("count 0\nadd " + name + " 3\ncount 1\n0|" + name + "|", 0), 0u)
        << "nobody's table starts empty and its change is not saved:\n" << out;
    EXPECT_EQ(test::readFile(test::kSiteConfig), config) << "the records nobody could not read are still there";
    EXPECT_EQ(modeOf(test::kSiteConfig), 0600u);
}

}  // namespace
}  // namespace sorvik
