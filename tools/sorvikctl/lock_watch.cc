// A command that waits for the table's lock waits as long as the holder
// keeps it, as every client does: a holder stopped in a debugger or by
// Ctrl-Z stops everyone. The person at the terminal is told once who it is.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "platform/platform.h"
#include "site.h"

namespace sorvikctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSample = std::chrono::milliseconds(100);
// Far longer than any call holds the lock, short enough for a person.
constexpr auto kPatience = std::chrono::seconds(2);

void watch() {
    const uint32_t self = static_cast<uint32_t>(getpid());
    sorvik::platform::LockHolder first;
    Clock::time_point since;
    bool watching = false;
    for (;;) {
        std::this_thread::sleep_for(kSample);
        sorvik::platform::LockHolder now;
        if (!sorvik::platform::lockHolder(kRunDir, kRegionName, &now) || now.processId == self) {
            watching = false;
            continue;
        }
        // Another holder, or the same one again, is no long wait.
        if (!watching || now.acquisition != first.acquisition || now.processId != first.processId) {
            first = now;
            since = Clock::now();
            watching = true;
            continue;
        }
        if (Clock::now() - since < kPatience) continue;
        if (now.processId != 0)
            std::fprintf(stderr,
                         "sorvikctl: the table's lock is held by process %u; waiting until it lets go "
                         "(Ctrl-C to give up)\n",
                         now.processId);
        else
            std::fprintf(stderr,
                         "sorvikctl: the table's lock is held by another process; waiting until it lets go "
                         "(Ctrl-C to give up)\n");
        return;
    }
}

}  // namespace

// The watcher takes none of the process's signals: they are the main
// thread's to wait for (sorvikctl run waits for SIGCHLD and passes SIGTERM
// on), and a thread that does not block one is where the kernel sends it.
void watchTheLock() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread(watch).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace sorvikctl
