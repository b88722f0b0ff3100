// The configuration file in the situations an administrator's machine holds:
// what a load and a save do there, done by real processes (of another user
// where it matters), and that nothing else in the directories is touched.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "support/scratch.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

const std::string kOld = "keep    1\t2   -1   0\r\nother    0\t3   5   7\r\n";
const uint8_t kHost[4] = {10, 1, 2, 3};

std::unique_ptr<ProTable> tableOf(const std::string &text) {
    auto table = std::make_unique<ProTable>();
    fillDefaults(table.get(), kHost);
    parseConfig(text.data(), text.size(), table.get());
    return table;
}

// One entry as a test compares it: its kind, owner, mode and content.
std::string describe(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "<missing>";
    const std::string who = " uid=" + std::to_string(st.st_uid) + " mode=" + std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) return "link to " + std::filesystem::read_symlink(path).string();
    if (S_ISDIR(st.st_mode)) return "directory" + who;
    if (S_ISFIFO(st.st_mode)) return "fifo" + who;
    if (S_ISSOCK(st.st_mode)) return "socket" + who;
    if (S_ISREG(st.st_mode)) return "file" + who + ": " + test::readFile(path);
    return "other" + who;
}

// Every entry under `directory`, by its path relative to it.
std::map<std::string, std::string> contentsOf(const std::string &directory) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> contents;
    for (auto it = fs::recursive_directory_iterator(directory); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string();
        contents[it->path().lexically_relative(directory).string()] = describe(path);
        if (it->is_symlink()) it.disable_recursion_pending();
    }
    return contents;
}

// Runs `body` in a child process, as the user nobody when `otherUser`, and
// gives the line it reports; "<no answer>" when it did not answer in time.
std::string inChild(bool otherUser, const std::function<std::string()> &body) {
    test::Child child = test::forkChild([&](int toParent) {
        if (otherUser && (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0)) return 90;
        test::sendLine(toParent, body());
        return 0;
    });
    std::string line;
    if (!test::readLine(child, &line, std::chrono::seconds(5))) line = "<no answer>";
    test::waitChild(&child, std::chrono::seconds(5));
    return line;
}

void own(const std::string &path, uid_t uid, gid_t gid, mode_t mode) {
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void makeSocket(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);
    close(fd);
}

// Files an administrator keeps beside the configuration file, some named
// much like a temporary would be; none of them may ever change.
void placeNeighbours(const std::string &site, bool root, uid_t saver) {
    for (const char *name : {"Sorvik.sys.backup", "Sorvik.sys.old123", "Sorvik.sys.2024v1", "Sorvik.sys.Ab3xY9",
                             "Sorvik.sys.tmp", ".Sorvik.sys.swp"})
        test::writeFile(site + "/" + name, std::string("kept: ") + name + "\n");
    if (!root) return;
    // A temporary of exactly our pattern, but another user's: theirs to clear.
    const std::string theirs = site + "/.Sorvik.sys.sorvik-tmp.Theirs";
    test::writeFile(theirs, "another user's\n");
    own(theirs, saver == 0 ? kNobody : 0, saver == 0 ? kNogroup : 0, 0600);
}

struct Situation {
    const char *what;
    bool otherUser;  // loaded and saved by the user nobody (needs root)
    // Prepares base/site/Sorvik.sys, given the base directory.
    std::function<void(const std::string &base)> arrange;
    int loadError;     // what loading answers: 0, or why it could not read
    int32_t records;   // records loaded when it could
    int saveError;     // 0 when the save goes through
    const char *savedAt;  // where the saved bytes land, relative to base
};

TEST(FileSituations, LoadAndSaveDoWhatMustHoldAndTouchNothingElse) {
    const bool root = geteuid() == 0;
    const Situation situations[] = {
        {"no file yet", false, [](const std::string &) {}, 0, 0, 0, "site/Sorvik.sys"},
        {"a file of records", false, [](const std::string &b) { test::writeFile(b + "/site/Sorvik.sys", kOld); },
         0, 2, 0, "site/Sorvik.sys"},
        {"a FIFO", false, [](const std::string &b) { ASSERT_EQ(mkfifo((b + "/site/Sorvik.sys").c_str(), 0644), 0); },
         ENODEV, 0, ENODEV, nullptr},
        {"a directory", false, [](const std::string &b) { std::filesystem::create_directory(b + "/site/Sorvik.sys"); },
         EISDIR, 0, EISDIR, nullptr},
        {"a socket", false, [](const std::string &b) { makeSocket(b + "/site/Sorvik.sys"); }, ENODEV, 0, ENODEV,
         nullptr},
        {"a link to a device", false,
         [](const std::string &b) { std::filesystem::create_symlink("/dev/null", b + "/site/Sorvik.sys"); }, ENODEV, 0,
         ENODEV, nullptr},
        {"a link to a file in another directory", false,
         [](const std::string &b) {
             std::filesystem::create_directory(b + "/real");
             test::writeFile(b + "/real/managed.conf", kOld);
             std::filesystem::create_symlink("../real/managed.conf", b + "/site/Sorvik.sys");
         },
         0, 2, 0, "real/managed.conf"},
        {"a link to a link to a file beside it", false,
         [](const std::string &b) {
             test::writeFile(b + "/site/Sorvik.real", kOld);
             std::filesystem::create_symlink("Sorvik.real", b + "/site/Sorvik.middle");
             std::filesystem::create_symlink(b + "/site/Sorvik.middle", b + "/site/Sorvik.sys");
         },
         0, 2, 0, "site/Sorvik.real"},
        {"a link to a file not there yet", false,
         [](const std::string &b) {
             std::filesystem::create_directory(b + "/real");
             std::filesystem::create_symlink("../real/managed.conf", b + "/site/Sorvik.sys");
         },
         0, 0, 0, "real/managed.conf"},
        {"another user's file of mode 0600", true,
         [](const std::string &b) {
             test::writeFile(b + "/site/Sorvik.sys", kOld);
             own(b + "/site/Sorvik.sys", 0, 0, 0600);
         },
         EACCES, 0, EACCES, nullptr},
        {"another user's file of mode 0644, in a directory the saver may write", true,
         [](const std::string &b) {
             test::writeFile(b + "/site/Sorvik.sys", kOld);
             own(b + "/site/Sorvik.sys", 0, 0, 0644);
         },
         0, 2, EACCES, nullptr},
        {"the saver's own file of mode 0444", true,
         [](const std::string &b) {
             test::writeFile(b + "/site/Sorvik.sys", kOld);
             own(b + "/site/Sorvik.sys", kNobody, kNogroup, 0444);
         },
         0, 2, EACCES, nullptr},
        {"the saver's own file in a directory that refuses new files", true,
         [](const std::string &b) {
             test::writeFile(b + "/site/Sorvik.sys", kOld);
             own(b + "/site/Sorvik.sys", kNobody, kNogroup, 0640);
             own(b + "/site", 0, 0, 0755);
         },
         0, 2, 0, "site/Sorvik.sys"},
    };
    const std::string saved = "fresh    4\t5   6   7\r\n";
    for (const Situation &s : situations) {
        SCOPED_TRACE(s.what);
        if (s.otherUser && !root) {
            std::printf("skipped \"%s\": needs root, to load and save as the user nobody\n", s.what);
            continue;
        }
        test::ScratchSite scratch;
        const std::string base = scratch.directory;
        const std::string site = base + "/site";
        const std::string path = site + "/Sorvik.sys";
        std::filesystem::create_directory(site);
        if (root) {
            own(base, 0, 0, 0755);
            own(site, 0, 0, 0777);
        }
        placeNeighbours(site, root, s.otherUser ? kNobody : geteuid());
        s.arrange(base);
        const std::map<std::string, std::string> before = contentsOf(base);

        const std::string answer = inChild(s.otherUser, [&] {
            auto loaded = std::make_unique<ProTable>();
            fillDefaults(loaded.get(), kHost);
            const int loadError = loadConfig(path.c_str(), loaded.get());
            int saveError = 0;
            if (!saveTable(path.c_str(), *tableOf(saved), &saveError) && saveError == 0) saveError = -1;
            return "load " + std::to_string(loadError) + " records " + std::to_string(loaded->proCount) + " save " +
                   std::to_string(saveError);
        });
        EXPECT_EQ(answer, "load " + std::to_string(s.loadError) + " records " + std::to_string(s.records) + " save " +
                              std::to_string(s.saveError));

        std::map<std::string, std::string> expected = before;
        if (s.savedAt) {
            std::string &entry = expected[s.savedAt];
            // A file replaced keeps its owner and mode; a new one is the saver's.
            const std::string head =
                entry.empty() ? "file uid=" + std::to_string(s.otherUser ? kNobody : geteuid()) + " mode=420"
                              : entry.substr(0, entry.find(':'));
            entry = head + ": " + saved;
        }
        EXPECT_EQ(contentsOf(base), expected);
    }
}

TEST(FileSituations, ANameThatWouldNotReadBackIsNeverSaved) {
    struct Case {
        const char *what;
        std::function<void(ProStru *)> spoil;
    } cases[] = {
        {"white space in the name", [](ProStru *r) { std::strcpy(r->proName, "my tool"); }},
        {"an empty name", [](ProStru *r) { r->proName[0] = '\0'; }},
        {"a name without a terminator", [](ProStru *r) { std::memset(r->proName, 'n', sizeof r->proName); }},
        {"a line end in the name", [](ProStru *r) { std::strcpy(r->proName, "two\nlines"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::ScratchSite scratch;
        scratch.writeConfig(kOld);
        auto table = tableOf(kOld + "third    0\t1   0   0\r\n");
        c.spoil(&table->records[1]);
        int error = 0;
        EXPECT_FALSE(saveTable(scratch.configPath.c_str(), *table, &error));
        EXPECT_EQ(error, EINVAL);
        EXPECT_EQ(scratch.readConfig(), kOld);
    }
}

// Savers killed at random instants, hundreds of times, by the same user and
// with another user's savers beside them: the file is always the old one or
// a new one whole, no file beside it ever changes, and the temporaries the
// killed savers left are cleared by the next save of their own user.
TEST(FileSituations, ManySavesAndKilledSavesLeaveEveryFileBesideIntact) {
    const bool root = geteuid() == 0;
    test::ScratchSite scratch;
    const std::string site = scratch.directory;
    if (root) own(site, 0, 0, 0777);
    placeNeighbours(site, root, geteuid());
    const std::map<std::string, std::string> neighbours = contentsOf(site);
    std::string text;
    for (int i = 0; i < 300; ++i) text += "program" + std::to_string(i) + "    1\t2   3   4\r\n";
    const auto big = tableOf(text);
    const auto small = tableOf(kOld);
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *small));
    const std::string smallText = formatConfig(*small);

    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        test::Child saver = test::forkChild([&](int) {
            for (int i = 0;; ++i) saveTable(scratch.configPath.c_str(), i % 2 ? *big : *small);
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        test::killChild(&saver);
        const std::string file = scratch.readConfig();
        ASSERT_TRUE(file == text || file == smallText) << "round " << round << ": the file is not whole";
    }
    ASSERT_TRUE(saveTable(scratch.configPath.c_str(), *small));
    std::map<std::string, std::string> after = contentsOf(site);
    EXPECT_EQ(after["Sorvik.sys"], describe(scratch.configPath));
    after.erase("Sorvik.sys");
    EXPECT_EQ(after, neighbours) << "only the file itself changes, and no temporary of ours is left";
}

}  // namespace
}  // namespace sorvik
