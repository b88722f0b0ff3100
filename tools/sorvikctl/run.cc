// sorvikctl run: a launcher for programs that do not link the library. It
// takes the slot in its own process, so that the take is one call under the
// table's lock and two launchers cannot both pass where one slot is free.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include "commands.h"
#include "records.h"
#include "table/names.h"

namespace sorvikctl {

#ifdef _WIN32

int runCommand(const std::string &, const RunWait &, const std::vector<std::string> &) {
    std::fprintf(stderr, "sorvikctl run: not available on this system\n");
    return kRunFailed;
}

#else

namespace {

// What the census will call the command's process: its file name, without
// directory and last extension.
std::string taskNameOf(const std::string &command) {
    const size_t slash = command.rfind('/');
    std::string file = slash == std::string::npos ? command : command.substr(slash + 1);
    const size_t dot = file.rfind('.');
    if (dot != std::string::npos && dot > 0) file.resize(dot);
    return file;
}

// "2 copies of report_job run, 2 permitted", from the count the table holds.
std::string occupancy(const std::string &name) {
    const auto record = findRecord(name);
    if (!record) return "no record named " + name;
    const int32_t running = record->fields.exeCount;
    const std::string copies = running == 0 ? "no copy" : running == 1 ? "1 copy" : std::to_string(running) + " copies";
    return copies + " of " + name + (running == 1 || running == 0 ? " runs" : " run") + ", " +
           std::to_string(record->fields.permitExeCount) + " permitted";
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Sleeps `seconds` unless one of `signals` (blocked) arrives first; that
// signal, or 0.
int sleepUnlessSignalled(const sigset_t &signals, double seconds) {
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    for (;;) {
        const int got = sigtimedwait(&signals, nullptr, &wait);
        if (got > 0 && got != SIGCHLD) return got;
        if (got < 0 && errno == EAGAIN) return 0;
        // EINTR or a stray SIGCHLD: the rest of the wait is not worth
        // measuring to the nanosecond; a shorter sleep only polls sooner.
    }
}

// Takes a slot, waiting for one as `wait` says. 0 when taken (or when no
// record limits the name); else the exit status to give back.
int takeSlot(const std::string &name, const RunWait &wait, const sigset_t &signals) {
    if (processLogIn(name.c_str())) return 0;
    if (!wait.enabled) {
        std::fprintf(stderr, "sorvikctl run: refused: %s\n", occupancy(name).c_str());
        return kNoSlot;
    }
    const double start = now();
    double pause = 0.01;
    double lastRecount = start;
    bool announced = false;
    for (;;) {
        if (!announced && isatty(STDERR_FILENO)) {
            std::fprintf(stderr, "sorvikctl run: waiting for a slot: %s\n", occupancy(name).c_str());
            announced = true;
        }
        double step = pause;
        if (wait.limit > 0) {
            const double left = start + wait.limit - now();
            if (left <= 0) {
                std::fprintf(stderr, "sorvikctl run: gave up after %gs: %s\n", wait.limit, occupancy(name).c_str());
                return kNoSlot;
            }
            step = std::min(step, left);
        }
        if (const int signal = sleepUnlessSignalled(signals, step)) return 128 + signal;
        pause = std::min(pause * 2, 1.0);
        // A launcher's logout frees its slot in the stored count at once; a
        // copy that ended without one shows only in a recount. Recounting
        // also forgets a slot another launcher took a moment ago for a child
        // not yet started, so it is done once a second, not at every try.
        if (now() - lastRecount >= 1.0) {
            processCanExecute(name.c_str());
            lastRecount = now();
        }
        if (processLogIn(name.c_str())) return 0;
    }
}

// Starts `command` with the signal mask `childMask`. The child's pid, or -1
// with the exit status a shell gives for a command it cannot run in *status.
pid_t start(const std::vector<std::string> &command, const sigset_t &childMask, int *status) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "sorvikctl run: %s\n", std::strerror(errno));
        *status = kRunFailed;
        return -1;
    }
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &childMask, nullptr);
        execvp(argv[0], argv.data());
        const int error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(error == ENOENT ? 127 : 126);
    }
    close(report[1]);
    if (pid < 0) {
        std::fprintf(stderr, "sorvikctl run: cannot start a process: %s\n", std::strerror(errno));
        close(report[0]);
        *status = kRunFailed;
        return -1;
    }
    // The pipe closes without a word when the exec succeeds.
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        std::fprintf(stderr, "sorvikctl run: cannot run %s: %s\n", command.front().c_str(), std::strerror(error));
        waitpid(pid, nullptr, 0);
        *status = error == ENOENT ? 127 : 126;
        return -1;
    }
    return pid;
}

// Passes the signals sent to this process on to the child until it ends;
// its exit status, 128 + N when signal N ended it.
int superviseChild(pid_t child, const sigset_t &signals) {
    for (;;) {
        siginfo_t info{};
        const int got = sigwaitinfo(&signals, &info);
        if (got < 0) continue;
        if (got != SIGCHLD) {
            // A terminal sends its signals to the whole foreground group,
            // the child included; only those sent to us alone are passed on.
            if (info.si_code != SI_KERNEL) kill(child, got);
            continue;
        }
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) continue;
        if (ended < 0) return kRunFailed;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    }
}

}  // namespace

int runCommand(const std::string &name, const RunWait &wait, const std::vector<std::string> &command) {
    const auto record = findRecord(name);
    if (!record) {
        std::fprintf(stderr, "sorvikctl run: no record named %s limits it; starting it without a slot\n",
                     name.c_str());
    } else if (!sorvik::sameFolded(taskNameOf(command.front()), record->name)) {
        std::fprintf(stderr,
                     "sorvikctl run: warning: the command's process is named %s, not %s; its slot lasts only until "
                     "the next recount of %s\n",
                     taskNameOf(command.front()).c_str(), record->name.c_str(), name.c_str());
    }

    // Blocked from here on, so that a signal can neither end the launcher
    // between taking the slot and giving it back, nor be lost while the
    // child starts.
    // A parent that ignores SIGCHLD would have the child reaped unseen.
    signal(SIGCHLD, SIG_DFL);
    sigset_t signals, original;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, &original);

    if (const int refused = takeSlot(name, wait, signals)) return refused;
    int status = 0;
    const pid_t child = start(command, original, &status);
    if (child > 0) status = superviseChild(child, signals);
    processLogOut(name.c_str());
    return status;
}

#endif

}  // namespace sorvikctl
