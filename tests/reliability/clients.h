// Client processes of the test site's library for the reliability tests.
#ifndef SORVIK_TESTS_RELIABILITY_CLIENTS_H
#define SORVIK_TESTS_RELIABILITY_CLIENTS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/probe_session.h"
#include "support/scratch.h"
#include "table/table.h"

namespace sorvik::test {

extern const std::string kStressClient;
extern const std::string kTestSiteLibrary;

// The test site, for a Client of the test's own on the library's region.
Site testSite();

// Starts the stress client with `args`; its standard output comes back
// through the Child's pipe, its standard input is empty.
Child startClient(const std::vector<std::string> &args);

// The seed of a test's random instants: SORVIK_TEST_SEED when set, so that
// a failed run can be replayed, a fresh one otherwise. Printed either way,
// with the command line that replays it.
unsigned replayableSeed();

// A test on the test site's region, which starts afresh, with a Client of
// its own that watches the table; the region and the file go afterwards.
class OnTestSite : public ::testing::Test {
  protected:
    void SetUp() override { removeRegion(kSiteRunDir, kSiteRegion); }
    void TearDown() override {
        detach(&observer);
        removeRegion(kSiteRunDir, kSiteRegion);
        std::remove(kSiteConfig.c_str());
    }
    Client observer;
};

}  // namespace sorvik::test

#endif
