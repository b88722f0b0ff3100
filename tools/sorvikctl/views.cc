// list, tasks, controlled and watch.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "listing.h"

namespace sorvikctl {
namespace {

volatile sig_atomic_t gStop = 0;

void stop(int) { gStop = 1; }

// The running counts in the table are only as fresh as the last recount.
std::vector<Record> recountedRecords() {
    RefreshAllSorvikStr();
    return readRecords();
}

void pause(double seconds) {
    timespec left{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    // An interrupting signal ends the wait early, which is what Ctrl-C wants.
    nanosleep(&left, &left);
}

}  // namespace

int listTable(bool json) {
    const std::vector<Record> records = recountedRecords();
    const std::time_t now = std::time(nullptr);
    std::fputs((json ? tableJson(records, now) : tableText(records, now)).c_str(), stdout);
    return 0;
}

int listTasks(bool controlledOnly, bool json) {
    const std::vector<_TASK_LIST> tasks = readTasks(controlledOnly);
    std::fputs((json ? tasksJson(tasks)
                : tasksText(tasks, controlledOnly ? "no process of a controlled program runs" : "no process runs")).c_str(), stdout);
    return 0;
}

int watchTable(int count, double interval) {
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = isatty(STDOUT_FILENO);
    for (int frame = 0; !gStop && (count == 0 || frame < count); ++frame) {
        if (frame > 0) pause(interval);
        if (gStop) break;
        const std::vector<Record> records = recountedRecords();
        const std::time_t now = std::time(nullptr);
        char clock[16];
        std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
        // On a terminal each frame replaces the last; in a file they follow each other.
        std::printf("%sSorvik table at %s, every %gs%s\n\n%s", terminal ? "\033[H\033[2J" : (frame > 0 ? "\n" : ""),
                    clock, interval, terminal ? " (Ctrl-C to stop)" : "", tableText(records, now).c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace sorvikctl
