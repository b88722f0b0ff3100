// Scratch sites and files for the tests of every platform: each test gets
// a region name and a directory of its own, so tests never meet each other
// or an installed site. The tests include no operating-system header for
// these; what they need of the system is here.
#ifndef SORVIK_TESTS_SUPPORT_SCRATCH_SITE_H
#define SORVIK_TESTS_SUPPORT_SCRATCH_SITE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "table/table.h"

namespace sorvik::test {

// A region name and a directory unique to this process and call, and on
// Linux a run directory; the directories go with the ScratchSite. (On
// Windows the region goes with its last handle, and there is no run
// directory: runDirectory is empty.)
struct ScratchSite {
    ScratchSite();
    ~ScratchSite();
    ScratchSite(const ScratchSite &) = delete;
    ScratchSite &operator=(const ScratchSite &) = delete;

    Site site() const { return Site{configPath.c_str(), regionName.c_str(), runDirectory.c_str()}; }
    void writeConfig(const std::string &text) const;
    std::string readConfig() const;  // the file's bytes, or "<missing>"

    std::string directory;  // ends without a separator
    std::string configPath;
    std::string regionName;
    std::string runDirectory;
};

// A test whose process holds up to three attachments to a scratch site's
// region; they are detached after the test.
class ScratchSiteTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (Client &c : clients) detach(&c);
    }
    Client *attached(int i) {
        EXPECT_TRUE(attach(&clients[i], scratch.site()));
        return &clients[i];
    }
    ScratchSite scratch;
    Client clients[3];
};

std::string readFile(const std::string &path);  // "<missing>" when it cannot be opened
void writeFile(const std::string &path, const std::string &bytes);

// Runs `body` on a thread and answers whether it finished within `limit`,
// so that a deadlock is a failure with a message rather than a stuck run.
bool finishesWithin(std::chrono::milliseconds limit, const std::function<void()> &body);

}  // namespace sorvik::test

#endif
