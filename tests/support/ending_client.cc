// A client program that ends while its threads are inside calls of the test
// site's library, in one of the ways a program can end:
//
//   ending_client HOW DELAY_US NAME:MIN:PERMIT:A:B...
//
// Every NAME gets a worker thread that deletes its record and adds it back,
// takes and gives back a slot, leaves messages and reads records, without
// pause. Once each worker has made a call the client prints "calling"; then,
// DELAY_US microseconds later, it ends by HOW:
//   return       the main thread returns from main
//   exit         another thread calls exit()
//   pthread-exit the main thread calls pthread_exit first, a worker exit() later
//   _exit        another thread calls _exit()
//   signal       a single thread calls; SIGTERM from outside runs a handler
//                that calls exit()
//   wait         the workers call until the client is killed from outside
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sorvik.h"
#include "support/record_entry.h"

namespace {

using Entry = sorvik::test::RecordEntry;

// Never destroyed: workers still use it while an exit runs destructors.
std::vector<Entry> &gEntries = *new std::vector<Entry>;
std::atomic<int> gStarted{0};

void callOnce(const Entry &e, int round) {
    switch (round % 6) {
        case 0:
            DeleteOneProcess(e.name.c_str());
            addOneProcess(e.name.c_str(), e.minimum, e.permit, e.a, e.b);
            break;
        case 1:
            processActive(e.name.c_str());
            GetProcessStruAt(0);
            break;
        case 2:
            processMsg(e.name.c_str(), "ending");
            break;
        case 3:
            if (processLogIn(e.name.c_str()) == 1) processLogOut(e.name.c_str());
            break;
        case 4:
            GetControllableProcessNum();
            GetProcessNameAt(round % 8);
            break;
        default:
            processMsgReset(e.name.c_str());
            break;
    }
}

void work(size_t which) {
    const Entry &e = gEntries[which];
    for (int round = 0;; ++round) {
        callOnce(e, round);
        if (round == 0) gStarted.fetch_add(1);
    }
}

void onTerm(int) { std::exit(0); }

void startWorkers() {
    for (size_t i = 0; i < gEntries.size(); ++i) std::thread(work, i).detach();
    while (gStarted.load() < static_cast<int>(gEntries.size())) usleep(100);
    std::printf("calling\n");
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 4) return 64;
    const std::string how = argv[1];
    const useconds_t delay = static_cast<useconds_t>(std::atoi(argv[2]));
    if (!sorvik::test::parseEntryArguments(argc - 3, argv + 3, &gEntries)) return 64;
    // Programs put back what an earlier client's end left out between a
    // deletion and its addition.
    for (const Entry &e : gEntries) addOneProcess(e.name.c_str(), e.minimum, e.permit, e.a, e.b);

    if (how == "signal") {
        struct sigaction action {};
        action.sa_handler = onTerm;
        sigaction(SIGTERM, &action, nullptr);
        std::printf("calling\n");
        for (int round = 0;; ++round) callOnce(gEntries[static_cast<size_t>(round) % gEntries.size()], round);
    }
    startWorkers();
    if (how == "return") {
        usleep(delay);
        return 0;
    }
    if (how == "exit" || how == "_exit") {
        std::thread([delay, how] {
            usleep(delay);
            if (how == "exit") std::exit(0);
            _exit(0);
        }).detach();
        for (;;) pause();
    }
    if (how == "pthread-exit") {
        std::thread([delay] {
            usleep(delay);
            std::exit(0);
        }).detach();
        pthread_exit(nullptr);
    }
    if (how == "wait") {
        for (;;) pause();
    }
    return 64;
}
