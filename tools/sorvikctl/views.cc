// list, tasks, controlled and watch.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <algorithm>

#include "commands.h"
#include "file_state.h"
#include "site.h"
#include "listing.h"

namespace sorvikctl {
namespace {

volatile std::sig_atomic_t gStop = 0;

void stop(int) { gStop = 1; }

// The running counts in the table are only as fresh as the last recount.
std::vector<Record> recountedRecords() {
    RefreshAllSorvikStr();
    return readRecords();
}

// Waits in short steps, so that Ctrl-C ends the watch at once.
void pause(double seconds) {
    using namespace std::chrono;
    const auto until = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
    while (!gStop && steady_clock::now() < until)
        std::this_thread::sleep_for(std::min<steady_clock::duration>(milliseconds(50), until - steady_clock::now()));
}

}  // namespace

int listTable(bool json) {
    const std::vector<Record> records = recountedRecords();
    // On standard error, so that the JSON for scripts stays as it is.
    const std::string unreadable = unreadableReason();
    if (!unreadable.empty())
        std::fprintf(stderr,
                     "the table could not be read from %s: %s. A table loaded while it could not be read lacks its "
                     "records, and every change is then refused saving (result 3) until every program using Sorvik "
                     "has ended and the file can be read\n",
                     kConfigPath, unreadable.c_str());
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
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);
    const bool terminal = isatty(fileno(stdout));
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
