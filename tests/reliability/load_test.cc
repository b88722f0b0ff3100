// Load: several processes, several threads in each, all calling the real
// library at once. Afterwards every count is what the calls said it must be,
// no slot was ever held more often than permitted, and nothing hung.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/clients.h"
#include "support/probe_session.h"
#include "support/stress_board.h"
#include "table/config_file.h"

namespace sorvik {
namespace {

// "done calls=N logins=a,b logouts=c,d errors=E" into its numbers.
struct Result {
    long calls = -1;
    std::vector<long> logins, logouts;
    long errors = -1;
};

std::vector<long> numbers(const std::string &list) {
    std::vector<long> values;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) values.push_back(std::stol(item));
    return values;
}

bool parseResult(const std::string &line, Result *result) {
    char logins[256], logouts[256];
    if (std::sscanf(line.c_str(), "done calls=%ld logins=%255s logouts=%255s errors=%ld", &result->calls, logins,
                    logouts, &result->errors) != 4)
        return false;
    result->logins = numbers(logins);
    result->logouts = numbers(logouts);
    return true;
}

class Load : public test::OnTestSite {
  protected:
    test::ScratchSite scratch;  // for the board file
};

TEST_F(Load, ManyProcessesAndThreadsLoseNoUpdateAndNeverHoldMoreThanPermitted) {
    constexpr int kProcesses = 4, kThreads = 4, kSeconds = 3;
    struct SlotRecord {
        std::string name;
        int permit;
    };
    const std::vector<SlotRecord> slots{{test::uniqueName("slota"), 2}, {test::uniqueName("slotb"), 1}};
    const std::vector<std::string> asked{test::uniqueName("askone"), test::uniqueName("asktwo")};
    std::string config;
    for (const SlotRecord &s : slots) config += s.name + "    0\t" + std::to_string(s.permit) + "   -1   0\r\n";
    for (const std::string &a : asked) config += a + "    1\t3   -1   0\r\n";
    test::writeFile(test::kSiteConfig, config);
    // The observer keeps the region alive after the clients end, so their
    // last counts can be read.
    ASSERT_TRUE(attach(&observer, test::testSite()));
    const std::string board = scratch.directory + "/board";
    test::StressBoard *counters = test::mapStressBoard(board.c_str());
    ASSERT_NE(counters, nullptr);

    std::vector<test::Child> clients;
    for (int p = 0; p < kProcesses; ++p) {
        std::vector<std::string> args{"load", std::to_string(kSeconds), std::to_string(kThreads), board};
        for (const SlotRecord &s : slots) args.push_back(s.name + ":" + std::to_string(s.permit));
        args.push_back("--");
        args.insert(args.end(), asked.begin(), asked.end());
        args.push_back("--");
        args.push_back(test::uniqueName("churn" + std::to_string(p)) + "_");
        clients.push_back(test::startClient(args));
    }

    long calls = 0;
    std::vector<long> logins(slots.size()), logouts(slots.size());
    for (size_t p = 0; p < clients.size(); ++p) {
        std::string line;
        Result result;
        // A client that stops answering has a call that hangs.
        while (test::readLine(clients[p], &line, std::chrono::seconds(kSeconds + 60))) {
            if (line.rfind("error ", 0) == 0) ADD_FAILURE() << "client " << p << ": " << line;
            if (parseResult(line, &result)) break;
        }
        EXPECT_GE(result.calls, 0) << "client " << p << " gave no result in time: a call hangs";
        EXPECT_EQ(test::waitChild(&clients[p], std::chrono::seconds(30)), 0) << "client " << p;
        if (result.calls < 0) continue;
        calls += result.calls;
        ASSERT_EQ(result.logins.size(), slots.size());
        ASSERT_EQ(result.logouts.size(), slots.size());
        for (size_t s = 0; s < slots.size(); ++s) {
            logins[s] += result.logins[s];
            logouts[s] += result.logouts[s];
        }
    }
    EXPECT_EQ(counters->overbooked.load(), 0) << "a slot was held more often than its record permits";

    ASSERT_TRUE(test::finishesWithin(std::chrono::seconds(10), [&] {
        TableLock lock(&observer);
        const ProTable *table = lock.table();
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->proCount, 4) << "every addition was deleted again";
        for (size_t s = 0; s < slots.size(); ++s) {
            const ProStru &r = table->records[s];
            EXPECT_EQ(r.proName, slots[s].name);
            EXPECT_EQ(r.exeCount, logins[s] - logouts[s])
                << r.proName << ": " << logins[s] << " logins, " << logouts[s] << " logouts";
            EXPECT_EQ(r.permitExeCount, slots[s].permit);
        }
        for (size_t a = 0; a < asked.size(); ++a) EXPECT_EQ(table->records[slots.size() + a].proName, asked[a]);
        // The last save was of the table as it now is.
        EXPECT_EQ(test::readFile(test::kSiteConfig), formatConfig(*table));
    })) << "the table lock could not be had after the run";
    std::printf("[ figures  ] %d processes x %d threads for %d s: %ld calls, %ld logins, %ld logouts\n", kProcesses,
                kThreads, kSeconds, calls, logins[0] + logins[1], logouts[0] + logouts[1]);
    RecordProperty("calls", static_cast<int>(calls));
}

}  // namespace
}  // namespace sorvik
