// The real shared library in separate processes: a probe program built
// against the test site's libsorvik.so.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "support/scratch.h"
#include "table/table.h"

#ifndef SORVIK_PROBE
#error "SORVIK_PROBE names the probe program"
#endif

namespace sorvik {
namespace {

const std::string kProbe = SORVIK_PROBE;
const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;
const std::string kSiteRegion = SORVIK_TEST_SITE_REGION;

// A probe that keeps the library loaded until released.
struct HeldProbe {
    explicit HeldProbe(std::vector<std::string> commands) {
        int input[2];
        if (pipe(input) != 0) std::abort();
        child = test::forkChild([commands, input](int out) {
            dup2(out, 1);
            dup2(input[0], 0);
            close(input[1]);
            std::vector<char *> args{const_cast<char *>(kProbe.c_str())};
            for (const std::string &c : commands) args.push_back(const_cast<char *>(c.c_str()));
            args.push_back(const_cast<char *>("hold"));
            args.push_back(nullptr);
            execv(args[0], args.data());
            return 127;
        });
        close(input[0]);
        toChild = input[1];
    }
    // Everything the probe printed up to "holding".
    std::string output() {
        std::string all, line;
        while (test::readLine(child, &line)) {
            if (line == "holding") return all;
            all += line + "\n";
        }
        ADD_FAILURE() << "the probe did not get to hold: " << all;
        return all;
    }
    ~HeldProbe() {
        test::killChild(&child);
        close(toChild);
    }
    test::Child child;
    int toChild = -1;  // the probe holds until this closes
};

std::string probe(const std::vector<std::string> &commands) {
    std::vector<std::string> argv{kProbe};
    argv.insert(argv.end(), commands.begin(), commands.end());
    int status = 0;
    std::string out = test::runProgram(argv, &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

class SharedLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(kSiteRegion);
        test::writeFile(kSiteConfig, "viewer 1 2 -1 0\nd:\\tools\\editor 0 3 5 7\n");
    }
    void TearDown() override {
        test::removeRegion(kSiteRegion);
        std::remove(kSiteConfig.c_str());
    }
};

TEST_F(SharedLibrary, LoadsTheFileAndReadsRecordsByIndex) {
    const std::string out = probe({"dump"});
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("0|viewer|viewer|min=1|permit=2|exe=0|active=0|a=-1|b=0|preset=100|msg=|"), std::string::npos)
        << out;
    EXPECT_NE(out.find("1|d:\\tools\\editor|editor|min=0|permit=3|exe=0|active=0|a=5|b=7|preset=100|msg=|"),
              std::string::npos)
        << out;
}

TEST_F(SharedLibrary, ASecondProcessSeesTheFirstOnesTable) {
    HeldProbe first({"message", "1", "from the first"});
    first.output();
    test::writeFile(kSiteConfig, "replaced 0 0 0 0\n");
    const std::string out = probe({"dump"});
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << "the file is not read again:\n" << out;
    EXPECT_NE(out.find("msg=from the first|"), std::string::npos) << out;
}

TEST_F(SharedLibrary, TheNextLoadAfterEveryoneLeftReadsTheFileAgain) {
    probe({"message", "0", "gone soon", "dump"});
    test::writeFile(kSiteConfig, "replaced 4 5 6 7\n");
    const std::string out = probe({"dump"});
    EXPECT_NE(out.find("count 1\n0|replaced|replaced|min=4|permit=5|exe=0|active=0|a=6|b=7|preset=100|msg=|"),
              std::string::npos)
        << out;
}

TEST_F(SharedLibrary, TheNextLoadAfterTheOnlyHolderWasKilledReadsTheFileAgain) {
    {
        HeldProbe holder({"message", "0", "killed"});
        holder.output();
        EXPECT_NE(probe({"dump"}).find("msg=killed|"), std::string::npos);
        test::writeFile(kSiteConfig, "replaced 4 5 6 7\n");
    }  // SIGKILL
    const std::string out = probe({"dump"});
    EXPECT_NE(out.find("count 1\n0|replaced|"), std::string::npos) << out;
    EXPECT_EQ(out.find("killed"), std::string::npos) << out;
}

TEST_F(SharedLibrary, AProcessKilledHoldingTheLockDoesNotBlockTheNextCaller) {
    // The holder takes the lock exactly as the library's calls do, through a
    // client of its own on the test site's region, and is killed inside it.
    test::Child holder = test::forkChild([](int out) {
        Client c;
        const Site site{kSiteConfig.c_str(), kSiteRegion.c_str()};
        if (!attach(&c, site)) return 1;
        TableLock lock(&c);
        test::sendLine(out, "locked");
        pause();
        return 0;
    });
    std::string line;
    ASSERT_TRUE(test::readLine(holder, &line));
    ASSERT_EQ(line, "locked");
    int status = 0;
    test::runProgram({kProbe, "dump"}, &status, std::chrono::milliseconds(300));
    EXPECT_EQ(status, -1) << "the lock is really held, so the call waits";

    test::killChild(&holder);
    const std::string out = test::runProgram({kProbe, "dump"}, &status, std::chrono::seconds(10));
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("count 2\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace sorvik
