#include "reliability/clients.h"

#include <fcntl.h>
#include <unistd.h>

#include "support/probe_session.h"

namespace sorvik::test {

const std::string kStressClient = SORVIK_STRESS_CLIENT;
const std::string kTestSiteLibrary = SORVIK_TESTSITE_LIBRARY;

Site testSite() { return Site{kSiteConfig.c_str(), kSiteRegion.c_str(), kSiteRunDir.c_str()}; }

Child startClient(const std::vector<std::string> &args) {
    return forkChild([&args](int out) {
        dup2(out, 1);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        std::vector<char *> argv{const_cast<char *>(kStressClient.c_str())};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        return 127;
    });
}

}  // namespace sorvik::test
