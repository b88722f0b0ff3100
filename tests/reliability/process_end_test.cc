// Process ends: clients of the real library that end in every way a program
// can, at random instants while their threads are inside calls. The next
// call of a fresh process always gets the lock soon and finds the table
// whole, whether or not another process stayed attached throughout.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/clients.h"
#include "support/record_entry.h"
#include "support/probe_session.h"

namespace sorvik {
namespace {

using std::chrono::milliseconds;

const std::string kEndingClient = SORVIK_ENDING_CLIENT;

// Longer than any call takes on a loaded machine, far shorter than forever.
constexpr milliseconds kNextCallLimit{5000};
constexpr int kRoundsPerWay = 25;

using Entry = test::RecordEntry;

struct Way {
    const char *how;
    int signal;  // sent from outside after the delay; 0 when the client ends itself
};

const Way kWays[] = {
    {"return", 0}, {"exit", 0}, {"pthread-exit", 0}, {"_exit", 0}, {"signal", SIGTERM}, {"wait", SIGKILL},
};

std::string configOf(const std::vector<Entry> &entries) {
    std::string text;
    for (const Entry &e : entries)
        text += e.name + " " + std::to_string(e.minimum) + " " + std::to_string(e.permit) + " " + std::to_string(e.a) +
                " " + std::to_string(e.b) + "\n";
    return text;
}

// The records a fresh process sees, as the probe's dump prints them; each
// worker of an ended client may have left its own record out, nothing else.
void expectWholeDump(const std::vector<Entry> &entries, const std::string &dump, const std::string &where) {
    std::istringstream lines(dump);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line) && line.rfind("count ", 0) == 0) << where << ":\n" << dump;
    const int count = std::stoi(line.substr(6));
    const int n = static_cast<int>(entries.size());
    EXPECT_TRUE(count <= n && count >= 0) << where << ": " << count << " records";
    std::map<std::string, int> seen;
    while (std::getline(lines, line)) {
        bool known = false;
        for (const Entry &e : entries) {
            const std::string expected = "|" + e.name + "|" + e.name + "|min=" + std::to_string(e.minimum) +
                                         "|permit=" + std::to_string(e.permit) + "|";
            if (line.find(expected) == std::string::npos) continue;
            known = true;
            ++seen[e.name];
            EXPECT_NE(line.find("|a=" + std::to_string(e.a) + "|b=" + std::to_string(e.b) + "|"), std::string::npos)
                << where << ": " << line;
        }
        EXPECT_TRUE(known) << where << ": a record that was never configured: " << line;
    }
    for (const auto &[name, times] : seen) EXPECT_EQ(times, 1) << where << ": " << name;
}

class ProcessEnds : public test::OnTestSite {
  protected:
    std::vector<Entry> entries() const {
        return {{test::uniqueName("enda"), 1, 2, -1, 0},
                {test::uniqueName("endb"), 0, 3, 5, 7},
                {test::uniqueName("endc"), 2, 2, 11, -12}};
    }
    // Starts a client that ends by `way` at a random instant after all its
    // threads are inside calls, and waits for it to be gone; false when it
    // hung in its own end and had to be killed.
    bool endOneClient(const std::vector<Entry> &list, const Way &way, const std::string &where) {
        const unsigned delay = static_cast<unsigned>(random() % 3000);
        std::vector<std::string> args{way.how, std::to_string(delay)};
        for (const Entry &e : list)
            args.push_back(test::entryArgument(e));
        test::Child client = forkClient(args);
        std::string line;
        EXPECT_TRUE(test::readLine(client, &line, kNextCallLimit)) << where << ": the client never got to call";
        if (way.signal != 0) {
            usleep(delay);
            ::kill(client.pid, way.signal);
        }
        return test::waitChild(&client, kNextCallLimit) != -1 || way.signal == SIGKILL;
    }
    static test::Child forkClient(const std::vector<std::string> &args) {
        test::Program client{{kEndingClient}};
        client.argv.insert(client.argv.end(), args.begin(), args.end());
        client.in = test::Stream::inherit();
        return test::startProgram(client);
    }
    // A fresh process's first calls: they must come back within the limit.
    std::string freshDump(const std::string &where) {
        int status = 0;
        const auto started = std::chrono::steady_clock::now();
        const std::string out = test::runProgram({test::kProbe, "active", "nobody", "dump"}, &status, kNextCallLimit);
        const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_EQ(status, 0) << where << ": the next process's calls did not return within " << kNextCallLimit.count()
                             << " ms (" << took.count() << " ms)";
        slowest = std::max(slowest, took);
        return out.substr(out.find('\n') + 1);
    }
    void endInEveryWay(bool othersAttached) {
        const std::vector<Entry> list = entries();
        test::writeFile(test::kSiteConfig, configOf(list));
        if (othersAttached) {
            ASSERT_TRUE(attach(&observer, test::testSite()));
        }
        int hung = 0, ends = 0;
        for (const Way &way : kWays) {
            for (int round = 0; round < kRoundsPerWay; ++round) {
                const std::string where = std::string(way.how) + ", round " + std::to_string(round + 1) +
                                          (othersAttached ? ", another process attached" : ", alone");
                if (!endOneClient(list, way, where)) ++hung;
                ++ends;
                if (HasFailure()) return;
                expectWholeDump(list, freshDump(where), where);
                if (HasFailure()) return;
            }
        }
        std::printf("[ figures  ] %d clients ended, %d hung in their own exit and were killed; slowest next call %lld ms\n",
                    ends, hung, static_cast<long long>(slowest.count()));
    }
    std::mt19937 random{test::replayableSeed()};
    milliseconds slowest{0};
};

TEST_F(ProcessEnds, EveryWayOfEndingDuringCallsLeavesTheLockToTheNextProcessWithAnotherAttached) {
    endInEveryWay(true);
}

TEST_F(ProcessEnds, EveryWayOfEndingDuringCallsLeavesTheLockToTheNextProcessAlone) { endInEveryWay(false); }

}  // namespace
}  // namespace sorvik
