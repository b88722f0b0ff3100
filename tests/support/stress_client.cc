// A client program for the reliability tests: loads the test site's library
// like any other client and hammers it from several threads.
//
//   stress_client load SECONDS THREADS BOARD SLOT:PERMIT... -- ASKED... -- CHURN
//       For SECONDS, every thread picks calls at random: logins and logouts
//       on the SLOT records, the three questions, messages, liveness and
//       accessors on every record, limit changes on the ASKED records, and
//       additions and deletions of records named CHURN<thread>. The slots
//       held are counted on BOARD (a file of shared counters, see
//       stress_board.h), so that holding more than PERMIT at once shows.
//       Ends with "done calls=N logins=L,... logouts=L,... errors=E"; every
//       error is first printed as "error ...".
//   stress_client churn NAME:MIN:PERMIT:A:B...
//       Until killed: deletes each NAME and adds it back with these
//       settings, leaves messages, logs in and out, so that a kill lands in
//       the middle of changes of several records.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sorvik.h"
#include "support/record_entry.h"
#include "support/stress_board.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    std::string name;
    int32_t permit;
    std::atomic<long> logins{0};
    std::atomic<long> logouts{0};
};

struct Run {
    std::vector<Slot> slots;
    std::vector<std::string> asked;
    std::string churn;
    sorvik::test::StressBoard *board = nullptr;
    std::atomic<long> calls{0};
    std::atomic<long> errors{0};
    std::mutex printing;
};

void report(Run &run, const std::string &what) {
    run.errors.fetch_add(1);
    std::lock_guard<std::mutex> hold(run.printing);
    std::printf("error %s\n", what.c_str());
}

void expect(Run &run, bool ok, const std::string &what) {
    if (!ok) report(run, what);
}

// Every record the run names, in the order they were configured.
std::vector<std::string> knownNames(const Run &run) {
    std::vector<std::string> names;
    for (const Slot &s : run.slots) names.push_back(s.name);
    names.insert(names.end(), run.asked.begin(), run.asked.end());
    return names;
}

// The asked records are set up with min 1 and permit 3, and limit changes
// switch them between that and min 2, permit 4; nothing runs under their
// names, so every answer is known whichever setting holds.
void askQuestions(Run &run, const std::string &name) {
    expect(run, processCanExecute(name.c_str()) == 1, "can " + name);
    expect(run, processIsExecuting(name.c_str()) == 0, "is " + name);
    run.calls += 2;
}

constexpr char kMix[] = {0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 6, 7};

void worker(Run &run, int thread, Clock::time_point deadline) {
    std::mt19937 random(static_cast<unsigned>(getpid()) * 131u + static_cast<unsigned>(thread));
    const std::vector<std::string> names = knownNames(run);
    const int32_t base = static_cast<int32_t>(names.size());
    const std::string churn = run.churn + std::to_string(thread);
    const std::string text = "p" + std::to_string(getpid()) + "t" + std::to_string(thread);
    while (Clock::now() < deadline) {
        const std::string &name = names[random() % names.size()];
        // Thread 0 only takes and gives back slots, as fast as it can, so
        // that logins and logouts of several processes overlap often. The
        // others lean towards the short calls: the administration saves the
        // file with every change, which costs a flush to disk.
        switch (thread == 0 ? 0 : kMix[random() % sizeof kMix]) {
            case 0: {  // take a slot, hold it a while, give it back
                const size_t which = random() % run.slots.size();
                Slot &slot = run.slots[which];
                ++run.calls;
                if (processLogIn(slot.name.c_str()) != 1) break;
                ++slot.logins;
                const int held = run.board->held[which].fetch_add(1) + 1;
                if (held > slot.permit) {
                    run.board->overbooked.fetch_add(1);
                    report(run, slot.name + " held " + std::to_string(held) + " times at once");
                }
                for (int i = 0; i < (thread == 0 ? 0 : 3); ++i) {
                    expect(run, processLogIn(names[random() % names.size()].c_str()) == 0,
                           "a second login while holding a slot");
                    processMsg(slot.name.c_str(), text.c_str());
                    run.calls += 2;
                }
                if (deadline - Clock::now() < std::chrono::milliseconds(50)) {
                    // Keep this one: the final count must show it.
                    run.board->held[which].fetch_sub(1);
                    return;
                }
                run.board->held[which].fetch_sub(1);
                ++run.calls;
                if (processLogOut(slot.name.c_str()) == 1)
                    ++slot.logouts;
                else
                    report(run, "logout of a held slot of " + slot.name + " refused");
                break;
            }
            case 1:
                askQuestions(run, run.asked[random() % run.asked.size()]);
                break;
            case 2:
                expect(run, IsProcessMustReExecute(run.asked[random() % run.asked.size()].c_str()) == 1, "must");
                ++run.calls;
                break;
            case 3:
                processMsg(name.c_str(), text.c_str());
                processActive(name.c_str());
                run.calls += 2;
                break;
            case 4: {
                const int32_t count = GetControllableProcessNum();
                expect(run, count >= base && count <= base + 64, "count " + std::to_string(count));
                const int32_t index = static_cast<int32_t>(random() % static_cast<unsigned>(base));
                const char *got = GetProcessNameAt(index);
                expect(run, got && names[static_cast<size_t>(index)] == got, "name at " + std::to_string(index));
                expect(run, GetProcessStruAt(index) != nullptr, "record at " + std::to_string(index));
                expect(run, GetProcessPermitExeCountAt(index) >= 0, "permit at " + std::to_string(index));
                expect(run, GetProcessMinExeCountAt(count + 400) == -1, "min past the end");
                run.calls += 5;
                break;
            }
            case 5: {
                const std::string &asked = run.asked[random() % run.asked.size()];
                const bool wide = random() % 2;
                expect(run, ModifyOneProcess(asked.c_str(), wide ? 2 : 1, wide ? 4 : 3) == 0, "modify " + asked);
                ++run.calls;
                break;
            }
            case 6:
                expect(run, addOneProcess(churn.c_str(), 0, 1, 7, 8) == 0, "add " + churn);
                expect(run, DeleteOneProcess(churn.c_str()) == 0, "delete " + churn);
                run.calls += 2;
                break;
            default:
                expect(run, processLogOut("no-such-record") == 0, "logout of an unknown name");
                expect(run, processCanExecute("no-such-record") == 1, "can of an unknown name");
                run.calls += 2;
                break;
        }
    }
}

int load(int argc, char **argv) {
    if (argc < 4) return 64;
    Run run;
    const int seconds = std::atoi(argv[0]);
    const int threads = std::atoi(argv[1]);
    run.board = sorvik::test::mapStressBoard(argv[2]);
    if (!run.board) return 65;
    int i = 3;
    std::vector<std::pair<std::string, int32_t>> slots;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char *colon = std::strchr(argv[i], ':');
        if (!colon) return 64;
        slots.emplace_back(std::string(argv[i], static_cast<size_t>(colon - argv[i])), std::atoi(colon + 1));
    }
    run.slots = std::vector<Slot>(slots.size());
    for (size_t s = 0; s < slots.size(); ++s) {
        run.slots[s].name = slots[s].first;
        run.slots[s].permit = slots[s].second;
    }
    for (++i; i < argc && std::strcmp(argv[i], "--") != 0; ++i) run.asked.push_back(argv[i]);
    if (i + 1 >= argc || run.slots.empty() || run.slots.size() > sorvik::test::kBoardSlots || run.asked.empty())
        return 64;
    run.churn = argv[i + 1];

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(worker, std::ref(run), t, deadline);
    for (std::thread &t : pool) t.join();

    std::string logins, logouts;
    for (const Slot &s : run.slots) {
        logins += (logins.empty() ? "" : ",") + std::to_string(s.logins.load());
        logouts += (logouts.empty() ? "" : ",") + std::to_string(s.logouts.load());
    }
    std::printf("done calls=%ld logins=%s logouts=%s errors=%ld\n", run.calls.load(), logins.c_str(),
                logouts.c_str(), run.errors.load());
    return 0;
}

int churn(int argc, char **argv) {
    std::vector<sorvik::test::RecordEntry> entries;
    if (!sorvik::test::parseEntryArguments(argc, argv, &entries)) return 64;
    // Puts back what an earlier client killed between a deletion and its
    // addition left out, so that at most one entry is ever missing.
    for (const auto &e : entries) addOneProcess(e.name.c_str(), e.minimum, e.permit, e.a, e.b);
    std::printf("churning\n");
    for (size_t round = 0;; ++round) {
        const auto &e = entries[round % entries.size()];
        DeleteOneProcess(e.name.c_str());
        addOneProcess(e.name.c_str(), e.minimum, e.permit, e.a, e.b);
        processMsg(entries[(round + 1) % entries.size()].name.c_str(), "churn");
        processLogIn(e.name.c_str());
        processLogOut(e.name.c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "load") == 0) return load(argc - 2, argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "churn") == 0) return churn(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: stress_client load ... | churn NAME...\n");
    return 64;
}
