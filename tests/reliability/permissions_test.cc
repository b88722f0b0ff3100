// Permissions: the users of the site's group share one table, nobody else
// can create, read, change or block it, and a save never makes the file
// world-writable.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reliability/clients.h"
#include "support/probe_session.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

mode_t modeOf(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
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
        test::Umask wide(0);
        if (c.before != 0) {
            scratch.writeConfig("old 0 0 0 0\n");
            ASSERT_EQ(chmod(scratch.configPath.c_str(), c.before), 0);
        }
        ASSERT_TRUE(saveTable(scratch.configPath.c_str(), table));
        EXPECT_EQ(modeOf(scratch.configPath), c.after) << "a file of mode " << std::oct << c.before;
        EXPECT_EQ(scratch.readConfig(), text);
    }
}

// A site shared by a group, as an installed one is: its run directory and
// the configuration file's directory are root's, of mode 2770 in the group.
// Users are numeric ids unique to the run that no account holds, made by
// setpriv, so nothing of the machine's user database is touched.
class SiteGroup : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root, to run processes as other users";
        if (access(kSetpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as other users";
        const unsigned base = 1900000000u + static_cast<unsigned>(getpid() % 50000) * 8;
        group = base;
        memberA = base + 1;
        memberB = base + 2;
        outsider = base + 3;
        name = test::uniqueName("viewer");
        namespace fs = std::filesystem;
        std::error_code ignored;
        fs::remove_all(kSite, ignored);
        test::Umask plain(022);
        ASSERT_EQ(mkdir(kSite.c_str(), 0755), 0) << kSite;
        for (const std::string &d : {kSite + "/etc", kSite + "/run"}) {
            ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
            ASSERT_EQ(chown(d.c_str(), 0, group), 0);
            ASSERT_EQ(chmod(d.c_str(), 02770), 0);
        }
        ASSERT_EQ(mkdir((kSite + "/bin").c_str(), 0755), 0);
        fs::copy_file(test::kProbe, kSite + "/bin/sorvik_probe");
        fs::copy_file(kLibrary, kSite + "/bin/libsorvik.so.1");
        fs::copy_file(kCtl, kSite + "/bin/sorvikctl");
        writeConfig(name + " 0 1 0 0\n");
    }
    void TearDown() override {
        for (const std::string &path : planted) std::remove(path.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(kSite, ignored);
    }
    void writeConfig(const std::string &text) const {
        test::writeFile(config(), text);
        ASSERT_EQ(chown(config().c_str(), 0, group), 0);
        ASSERT_EQ(chmod(config().c_str(), 0660), 0);
    }
    std::string config() const { return kSite + "/etc/Sorvik.sys"; }
    std::string object(const std::string &suffix) const { return kSite + "/run/" + kRegion + suffix; }

    // The command line that runs `program` as `uid`, in the group or not.
    std::vector<std::string> as(unsigned uid, bool member, const std::vector<std::string> &program) const {
        std::vector<std::string> argv{kSetpriv, "--reuid=" + std::to_string(uid)};
        if (member) {
            argv.push_back("--regid=" + std::to_string(uid));
            argv.push_back("--groups=" + std::to_string(group));
        } else {
            argv.push_back("--regid=" + std::to_string(uid));
            argv.push_back("--clear-groups");
        }
        argv.insert(argv.end(), program.begin(), program.end());
        return argv;
    }
    std::vector<std::string> probeAs(unsigned uid, bool member) const {
        return as(uid, member, {"/usr/bin/env", "LD_LIBRARY_PATH=" + kSite + "/bin", kSite + "/bin/sorvik_probe"});
    }
    // The probe run once with `commands` as `uid`, or as root when uid is 0.
    std::string probe(unsigned uid, bool member, std::vector<std::string> commands) const {
        std::vector<std::string> argv = uid == 0 ? std::vector<std::string>{"/usr/bin/env", "LD_LIBRARY_PATH=" + kSite +
                                                                                "/bin", kSite + "/bin/sorvik_probe"}
                                                 : probeAs(uid, member);
        argv.insert(argv.end(), commands.begin(), commands.end());
        int status = -1;
        const std::string out = test::runProgram(argv, &status);
        EXPECT_EQ(status, 0) << "the probe as " << uid << " did not end well:\n" << out;
        return out;
    }
    int statusAs(unsigned uid, const std::vector<std::string> &program) const {
        int status = -1;
        test::runProgram(as(uid, false, program), &status);
        return status;
    }
    std::vector<std::string> runDirectory() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(kSite + "/run"))
            names.push_back(entry.path().filename().string());
        return names;
    }
    // What a process refused the table answers: the answers of a library
    // that could not be loaded, and why in errno.
    std::string refusal() const {
        const std::string denied = "errno " + std::to_string(EACCES) + "\n";
        return "count 0\nlogin " + name + " 0\nlogout " + name + " 0\ncan " + name + " 0\nis " + name + " 0\nmust " +
               name + " 0\nadd intruder 2\n" + denied + "modify " + name + " 2\n" + denied + "delete " + name + " 2\n" +
               denied + "msg " + name + " 1\nreset " + name + " 1\nmessage no record\n";
    }
    std::vector<std::string> everyCall() const {
        return {"dump", "login", name, "logout", name, "can", name, "is", name, "must", name, "add", "intruder", "0",
                "1", "0", "0", "errno", "modify", name, "0", "0", "errno", "delete", name, "errno", "msg", name,
                "theirs", "reset", name, "message", "0", "theirs"};
    }

    const std::string kSetpriv = "/usr/bin/setpriv";
    const std::string kSite = SORVIK_GROUP_SITE_DIR;
    const std::string kRegion = SORVIK_GROUP_SITE_REGION;
    const std::string kLibrary = SORVIK_GROUP_SITE_LIBRARY;
    const std::string kCtl = SORVIKCTL_GROUP_SITE;
    unsigned group = 0, memberA = 0, memberB = 0, outsider = 0;
    std::string name;
    std::vector<std::string> planted;
};

TEST_F(SiteGroup, TwoUsersOfTheGroupShareOneTable) {
    test::ProbeSession a({"login", name}, probeAs(memberA, true));
    ASSERT_EQ(a.started(), "login " + name + " 1\n");

    const std::string seen = probe(memberB, true, {"dump", "login", name, "add", "other", "0", "2", "0", "0"});
    EXPECT_NE(seen.find("|" + name + "|min=0|permit=1|exe=1|"), std::string::npos) << "A's login:\n" << seen;
    EXPECT_NE(seen.find("login " + name + " 0\n"), std::string::npos) << "no slot beyond the permit:\n" << seen;
    EXPECT_NE(seen.find("add other 0\n"), std::string::npos) << "B's addition is saved:\n" << seen;

    EXPECT_EQ(a.ask("modify other 1 3"), "modify other 0") << "A sees B's record and changes it";
    ProTable file;
    const uint8_t host[4] = {0, 0, 0, 0};
    fillDefaults(&file, host);
    const std::string saved = test::readFile(config());
    parseConfig(saved.data(), saved.size(), &file);
    ASSERT_EQ(file.proCount, 2) << saved;
    EXPECT_STREQ(file.records[1].proName, "other");
    EXPECT_EQ(file.records[1].minExeCount, 1);
    EXPECT_EQ(file.records[1].permitExeCount, 3);
    EXPECT_EQ(a.ask("logout " + name), "logout " + name + " 1");
    const std::string after = probe(memberB, true, {"dump"});
    EXPECT_NE(after.find("|other|other|min=1|permit=3|"), std::string::npos) << after;
    EXPECT_NE(after.find("|" + name + "|min=0|permit=1|exe=0|"), std::string::npos) << after;
    for (const std::string suffix : {"", ".lock"}) {
        EXPECT_EQ(modeOf(object(suffix)), 0660u) << suffix;
        struct stat st;
        ASSERT_EQ(stat(object(suffix).c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, group) << suffix;
    }
}

TEST_F(SiteGroup, AnOutsiderCanNeitherCreateNorOpenNorBlockTheTable) {
    // Before anybody made the table, the outsider cannot make it either.
    EXPECT_EQ(probe(outsider, false, everyCall()), refusal());
    EXPECT_TRUE(runDirectory().empty()) << "the outsider made " << runDirectory().front();

    test::ProbeSession a({"msg", name, "mine"}, probeAs(memberA, true));
    EXPECT_EQ(probe(outsider, false, everyCall()), refusal());
    for (const std::string suffix : {"", ".lock"}) {
        EXPECT_NE(statusAs(outsider, {"/usr/bin/head", "-c1", object(suffix)}), 0) << "read " << suffix;
        EXPECT_NE(statusAs(outsider, {"/usr/bin/flock", "-n", object(suffix), "true"}), 0) << "locked " << suffix;
    }
    EXPECT_NE(statusAs(outsider, {"/usr/bin/touch", kSite + "/run/" + kRegion + ".planted"}), 0);
    int status = -1;
    const std::string said = test::runProgram(
        as(outsider, false,
           {"/bin/sh", "-c", "LD_LIBRARY_PATH=\"$0\" \"$0/sorvikctl\" delete \"$1\" 2>&1", kSite + "/bin", name}),
        &status);
    EXPECT_EQ(status, 69) << said;
    EXPECT_EQ(said, "sorvikctl: cannot open the shared table in " + kSite + "/run: permission denied; add the user to "
                    "the group " + std::to_string(group) + " (and log in again)\n");

    // The members' table and file are as they were, and its lock is free.
    EXPECT_EQ(a.ask("login " + name), "login " + name + " 1");
    const std::string dump = probe(memberB, true, {"dump"});
    EXPECT_EQ(dump.rfind("count 1\n0|" + name + "|" + name + "|min=0|permit=1|exe=1|", 0), 0u) << dump;
    EXPECT_NE(dump.find("msg=mine|"), std::string::npos) << dump;
    EXPECT_EQ(test::readFile(config()), name + " 0 1 0 0\n");
}

TEST_F(SiteGroup, FilesAnOutsiderPlantsWhereItMayWriteChangeNoAnswer) {
    // Everywhere else the outsider may write, under every name the region's
    // objects could have there, empty or holding garbage.
    for (const std::string dir : {"/dev/shm/", "/tmp/"})
        for (const std::string suffix : {"", ".lock"}) planted.push_back(dir + kRegion + suffix);
    for (size_t i = 0; i < planted.size(); ++i) {
        const std::string text = i % 2 ? "" : std::string(4096, '\xff');
        EXPECT_EQ(statusAs(outsider, {"/bin/sh", "-c", "umask 0; printf '%s' \"$1\" > \"$0\"", planted[i], text}), 0)
            << planted[i];
    }
    for (const unsigned user : {0u, memberA}) {
        SCOPED_TRACE("user " + std::to_string(user));
        const std::string out = probe(user, true, {"dump", "can", name, "add", "mine", "0", "1", "0", "0", "delete",
                                                   "mine", "login", name, "login", name});
        EXPECT_EQ(out.rfind("count 1\n0|" + name + "|", 0), 0u) << out;
        EXPECT_NE(out.find("can " + name + " 1\nadd mine 0\ndelete mine 0\nlogin " + name + " 1\nlogin " + name +
                           " 0\n"),
                  std::string::npos)
            << out;
    }
}

// A member of the group is the first to load the library, and the
// configuration file is root's, of mode 0600, in a directory the member may
// write: the member's table starts empty, but its saves never replace the
// records it could not see.
TEST_F(SiteGroup, AFileTheLoaderMayNotReadIsNeverReplacedByItsEmptyTable) {
    std::string records;
    for (int i = 0; i < 5; ++i) records += test::uniqueName("rec" + std::to_string(i)) + "    1\t2   -1   0\r\n";
    writeConfig(records);
    ASSERT_EQ(chown(config().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(config().c_str(), 0600), 0);
    const std::string added = test::uniqueName("added");
    const std::string out = probe(memberA, true, {"dump", "add", added, "0", "1", "0", "0", "errno", "dump"});
    EXPECT_EQ(out.rfind("count 0\nadd " + added + " 3\nerrno " + std::to_string(EACCES) + "\ncount 1\n0|" + added +
                            "|",
                        0),
              0u)
        << "the member's table starts empty and its change is not saved:\n" << out;
    EXPECT_EQ(test::readFile(config()), records) << "the records the member could not read are still there";
    EXPECT_EQ(modeOf(config()), 0600u);
}

}  // namespace
}  // namespace sorvik
