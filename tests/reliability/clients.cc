#include "reliability/clients.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "support/probe_session.h"

namespace sorvik::test {

const std::string kStressClient = SORVIK_STRESS_CLIENT;
const std::string kTestSiteLibrary = SORVIK_TESTSITE_LIBRARY;

Site testSite() { return Site{kSiteConfig.c_str(), kSiteRegion.c_str(), kSiteRunDir.c_str()}; }

Child startClient(const std::vector<std::string> &args) {
    Program client{{kStressClient}};
    client.argv.insert(client.argv.end(), args.begin(), args.end());
    return startProgram(client);
}

unsigned replayableSeed() {
    const char *given = std::getenv("SORVIK_TEST_SEED");
    const unsigned seed =
        given && *given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::printf("[ seed     ] %u (to replay: SORVIK_TEST_SEED=%u sorvik_reliability_tests --gtest_filter=%s.%s)\n",
                seed, seed, test ? test->test_suite_name() : "*", test ? test->name() : "*");
    std::fflush(stdout);
    return seed;
}

}  // namespace sorvik::test
