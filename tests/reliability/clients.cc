#include "reliability/clients.h"

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

}  // namespace sorvik::test
