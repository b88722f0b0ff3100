// The cost of the library's calls, each beside the least that the same job
// can cost on this machine, measured in the same run so that their ratio
// survives a noisy, shared machine. A call in one process is timed by the
// CPU time it takes (system time included), which other load on the machine
// barely moves; where other processes take part (a tool run as a program,
// four processes at one lock) by the time on the wall. Everything runs on
// the benchmark site's own build of the library, loaded with the
// configuration written here.
//
//   sorvik_bench --sleeper-names     the program names the sleepers run under
//   sorvik_bench [benchmark flags]   the cases, over whatever processes run
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "census/controllable.h"
#include "census/recount.h"
#include "census/snapshot.h"
#include "sorvik.h"

extern char **environ;

namespace {

// ---- The table the benchmarks run on -------------------------------------

// Names the sleepers run under: common short ones, one of exactly 15
// characters and one longer, whose names the kernel cuts, so that the
// snapshot meets the full-name lookups a real machine makes it do.
const char *const kSleeperNames[] = {"nginx", "postgres", "sshd", "python3", "php-fpm8.2", "redis-server",
                                     "node",  "bash",     "containerd-shim", "at-spi-bus-launcher"};
constexpr const char *kRunning = "nginx";  // a program some sleepers run as
constexpr int32_t kRecords = SORVIK_MAX_RECORDS;
constexpr int32_t kSleeperRecordsAt = 170;  // mid-table, so each lookup walks half of it
constexpr const char *kFirstSlot = "worker";     // record 0
constexpr const char *kLastSlot = "lastworker";  // record 349

// A full table: slot programs at both ends, the sleepers' programs in the
// middle, the rest ordinary names, some with a directory part.
std::string benchConfig() {
    std::string text;
    auto line = [&](const std::string &name, int minimum, int permit) {
        text += name + "    " + std::to_string(minimum) + "\t" + std::to_string(permit) + "   -1   0\r\n";
    };
    int32_t index = 0;
    line(kFirstSlot, 0, 1000);
    ++index;
    char name[64];
    for (; index < kSleeperRecordsAt; ++index) {
        std::snprintf(name, sizeof name, index % 3 == 0 ? "d:\\apps\\tool%03d" : "service%03d", index);
        line(name, 0, 4);
    }
    for (const char *sleeper : kSleeperNames) {
        line(sleeper, 0, 100000);
        ++index;
    }
    for (; index < kRecords - 1; ++index) {
        std::snprintf(name, sizeof name, index % 3 == 0 ? "d:\\apps\\tool%03d" : "service%03d", index);
        line(name, 0, 4);
    }
    line(kLastSlot, 0, 1000);
    return text;
}

// ---- The library, loaded once the configuration is in place -----------------

struct Library {
    int32_t (*GetControllableProcessNum)();
    ProStru *(*GetProcessStruAt)(int32_t);
    int32_t (*GetTaskList)(_TASK_LIST *);
    int32_t (*GetControllableTaskList)(_TASK_LIST *);  // null while the library has none
    int32_t (*RefreshAllSorvikStr)();
    int32_t (*processLogIn)(const char *);
    int32_t (*processLogOut)(const char *);
    int32_t (*processCanExecute)(const char *);
};
Library api;

template <typename F>
void bind(void *handle, const char *name, F *slot, bool required = true) {
    *slot = reinterpret_cast<F>(dlsym(handle, name));
    if (!*slot && required) {
        std::fprintf(stderr, "sorvik_bench: %s missing from %s\n", name, SORVIK_BENCH_LIBRARY);
        std::exit(2);
    }
}

void loadLibrary() {
    FILE *file = std::fopen(SORVIK_BENCH_CONFIG, "wb");
    const std::string config = benchConfig();
    if (!file || std::fwrite(config.data(), 1, config.size(), file) != config.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "sorvik_bench: cannot write %s\n", SORVIK_BENCH_CONFIG);
        std::exit(2);
    }
    void *handle = dlopen(SORVIK_BENCH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "sorvik_bench: %s\n", dlerror());
        std::exit(2);
    }
    bind(handle, "GetControllableProcessNum", &api.GetControllableProcessNum);
    bind(handle, "GetProcessStruAt", &api.GetProcessStruAt);
    bind(handle, "GetTaskList", &api.GetTaskList);
    bind(handle, "GetControllableTaskList", &api.GetControllableTaskList, false);
    bind(handle, "RefreshAllSorvikStr", &api.RefreshAllSorvikStr);
    bind(handle, "processLogIn", &api.processLogIn);
    bind(handle, "processLogOut", &api.processLogOut);
    bind(handle, "processCanExecute", &api.processCanExecute);
    if (api.GetControllableProcessNum() != kRecords) {
        std::fprintf(stderr, "sorvik_bench: the table holds %d records, not %d: is another process using %s?\n",
                     api.GetControllableProcessNum(), kRecords, SORVIK_BENCH_CONFIG);
        std::exit(2);
    }
}

_TASK_LIST gList[SORVIK_MAX_TASKS];

// ---- Baselines ----------------------------------------------------------------

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// The least a snapshot can do: read /proc's entries and, for each process,
// one openat/read/close of its stat file. At most `cap` processes; a list
// capped at 500 tasks is compared with the walk that reads as many entries
// as it must read to fill them.
int floorWalk(int cap) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return 0;
    alignas(8) char entries[32768];
    char stat[1024];
    char path[40];
    int seen = 0;
    for (;;) {
        const long got = syscall(SYS_getdents64, proc, entries, sizeof entries);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
            const size_t length = std::strlen(entry->d_name);
            std::memcpy(path, entry->d_name, length);
            std::memcpy(path + length, "/stat", 6);
            const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            benchmark::DoNotOptimize(read(fd, stat, sizeof stat));
            close(fd);
            if (++seen == cap) goto done;
        }
    }
done:
    close(proc);
    return seen;
}

// How many of /proc's entries a walk reads before it has met `tasks`
// processes that a task list holds (no kernel thread, no zombie): what a
// capped list costs at least, since it must read each entry to tell.
int entriesForTasks(int tasks) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return tasks;
    alignas(8) char entries[32768];
    char stat[1024];
    char path[40];
    int seen = 0, kept = 0;
    for (long got; kept < tasks && (got = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < got && kept < tasks;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
            std::snprintf(path, sizeof path, "%s/stat", entry->d_name);
            const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            const ssize_t length = read(fd, stat, sizeof stat - 1);
            close(fd);
            if (length <= 0) continue;
            ++seen;
            stat[length] = '\0';
            char state = 0;
            unsigned long flags = 0;
            const char *paren = std::strrchr(stat, ')');
            if (paren && std::sscanf(paren + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) == 2 &&
                !(flags & 0x00200000) && state != 'Z' && state != 'X')  // PF_KTHREAD
                ++kept;
        }
    }
    close(proc);
    return seen;
}

// A counting semaphore that several processes reach by name, opened and
// unlinked at once so that nothing is left behind.
sem_t *openSemaphore() {
    const std::string name = "/sorvik_bench_" + std::to_string(getpid());
    sem_t *semaphore = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1000);
    if (semaphore == SEM_FAILED) return nullptr;
    sem_unlink(name.c_str());
    return semaphore;
}

// The lock under every locked call: a robust process-shared mutex.
pthread_mutex_t *sharedMutex() {
    static pthread_mutex_t *mutex = [] {
        void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        auto *m = static_cast<pthread_mutex_t *>(page);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(m, &attr);
        return m;
    }();
    return mutex;
}

// ---- Other processes hammering while one measures -----------------------------

// Forks `count` processes that each run `hammer` until told to stop; they
// are all running when this returns.
struct Hammers {
    std::atomic<int> *shared = nullptr;  // [0] running, [1] stop
    std::vector<pid_t> pids;

    template <typename F>
    Hammers(int count, F hammer) {
        void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        shared = new (page) std::atomic<int>[2]{};
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive an interrupted run
                if (getppid() == 1) _exit(0);
                shared[0].fetch_add(1);
                while (shared[1].load(std::memory_order_relaxed) == 0) hammer();
                _exit(0);
            }
            if (pid > 0) pids.push_back(pid);
        }
        while (shared[0].load() < static_cast<int>(pids.size())) sched_yield();
    }
    ~Hammers() {
        shared[1].store(1);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
        munmap(shared, 4096);
    }
};

void loginLogout(benchmark::State &state, const char *name) {
    if (api.processLogIn(name) != 1 || api.processLogOut(name) != 1) state.SkipWithError("a slot was refused");
}

// ---- Cases ------------------------------------------------------------------

void floorWalkAll(benchmark::State &state) {
    int seen = 0;
    for (auto _ : state) seen = floorWalk(-1);
    state.counters["processes"] = seen;
}
BENCHMARK(floorWalkAll)->Name("floor/walk");

void floorWalkCapped(benchmark::State &state) {
    const int cap = entriesForTasks(SORVIK_MAX_TASKS);
    for (auto _ : state) benchmark::DoNotOptimize(floorWalk(cap));
    state.counters["processes"] = cap;
}
BENCHMARK(floorWalkCapped)->Name("floor/walk500");

void getTaskList(benchmark::State &state) {
    int32_t tasks = 0;
    for (auto _ : state) tasks = api.GetTaskList(gList);
    if (tasks == 0) state.SkipWithError("no tasks");
    state.counters["tasks"] = tasks;
}
BENCHMARK(getTaskList)->Name("call/GetTaskList");

void getControllableTaskList(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(api.GetControllableTaskList(gList));
}

void takeSnapshot(benchmark::State &state) {
    sorvik::TaskSnapshot snapshot;
    for (auto _ : state) sorvik::takeSnapshot(&snapshot);
    state.counters["tasks"] = static_cast<double>(snapshot.tasks.size());
}
BENCHMARK(takeSnapshot)->Name("inner/takeSnapshot");

// The platform's walk alone, with nothing kept: where the snapshot's cost
// beyond the floor lies, the walk or what is built from it.
void listProcesses(benchmark::State &state) {
    int seen = 0;
    auto count = [](void *context, uint32_t, const char *, size_t) {
        ++*static_cast<int *>(context);
        return true;
    };
    for (auto _ : state) {
        seen = 0;
        sorvik::platform::listProcesses(count, &seen);
    }
    state.counters["tasks"] = seen;
}
BENCHMARK(listProcesses)->Name("inner/listProcesses");

// RefreshAllSorvikStr's counting on its own, on a private copy of the
// table and one snapshot: what the call adds to the snapshot it takes.
void recountAll(benchmark::State &state) {
    static sorvik::ProTable table;
    table.proCount = api.GetControllableProcessNum();
    for (int32_t i = 0; i < table.proCount; ++i) table.records[i] = *api.GetProcessStruAt(i);
    sorvik::TaskSnapshot snapshot;
    sorvik::takeSnapshot(&snapshot);
    for (auto _ : state) benchmark::DoNotOptimize(sorvik::recountAll(&table, snapshot));
    state.counters["nginx"] = table.records[kSleeperRecordsAt].exeCount;
}
BENCHMARK(recountAll)->Name("inner/recountAll");

// GetControllableTaskList's filter through the table on its own, which it
// runs under the lock: how long it keeps every other call waiting.
void keepControllable(benchmark::State &state) {
    static sorvik::ProTable table;
    table.proCount = api.GetControllableProcessNum();
    for (int32_t i = 0; i < table.proCount; ++i) table.records[i] = *api.GetProcessStruAt(i);
    sorvik::TaskSnapshot taken, snapshot;
    sorvik::takeSnapshot(&taken);
    int32_t kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        snapshot = taken;
        state.ResumeTiming();
        kept = sorvik::keepControllable(&table, &snapshot, gList);
    }
    state.counters["kept"] = kept;
}
BENCHMARK(keepControllable)->Name("inner/keepControllable");

void processCanExecute(benchmark::State &state) {
    for (auto _ : state)
        if (api.processCanExecute(kRunning) != 1) state.SkipWithError("refused");
}
BENCHMARK(processCanExecute)->Name("call/processCanExecute");

void refreshAll(benchmark::State &state) {
    for (auto _ : state)
        if (api.RefreshAllSorvikStr() == 0) state.SkipWithError("no tasks");
    const ProStru *running = api.GetProcessStruAt(kSleeperRecordsAt);
    state.counters["nginx"] = running ? running->exeCount : -1;
}
BENCHMARK(refreshAll)->Name("call/RefreshAllSorvikStr");

void pgrepCount(benchmark::State &state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char arg0[] = "pgrep", arg1[] = "-c", arg2[] = "nginx";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    for (auto _ : state) {
        pid_t pid;
        int status = 0;
        if (posix_spawnp(&pid, "pgrep", &actions, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid)
            state.SkipWithError("pgrep did not run");
    }
    posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(pgrepCount)->Name("tool/pgrep-c")->UseRealTime();

void semaphorePair(benchmark::State &state) {
    sem_t *semaphore = openSemaphore();
    if (!semaphore) return state.SkipWithError("no semaphore");
    for (auto _ : state) {
        if (sem_trywait(semaphore) != 0) state.SkipWithError("sem_trywait");
        sem_post(semaphore);
    }
    sem_close(semaphore);
}
BENCHMARK(semaphorePair)->Name("floor/semaphorePair");

void mutexPair(benchmark::State &state) {
    pthread_mutex_t *mutex = sharedMutex();
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
    }
}
BENCHMARK(mutexPair)->Name("floor/robustMutexPair");

void loginLogoutFirst(benchmark::State &state) {
    for (auto _ : state) loginLogout(state, kFirstSlot);
}
BENCHMARK(loginLogoutFirst)->Name("call/logInOut");

void loginLogoutLast(benchmark::State &state) {
    for (auto _ : state) loginLogout(state, kLastSlot);
}
BENCHMARK(loginLogoutLast)->Name("call/logInOutRecord349");

void getProcessStruAt(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(api.GetProcessStruAt(kSleeperRecordsAt));
}
BENCHMARK(getProcessStruAt)->Name("call/GetProcessStruAt");

constexpr int kHammers = 3;  // with the measuring process, four at once

void semaphorePairContended(benchmark::State &state) {
    sem_t *semaphore = openSemaphore();
    if (!semaphore) return state.SkipWithError("no semaphore");
    {
        Hammers hammers(kHammers, [semaphore] {
            if (sem_trywait(semaphore) == 0) sem_post(semaphore);
        });
        for (auto _ : state) {
            if (sem_trywait(semaphore) != 0) state.SkipWithError("sem_trywait");
            sem_post(semaphore);
        }
    }
    sem_close(semaphore);
}
BENCHMARK(semaphorePairContended)->Name("floor/semaphorePair4")->UseRealTime();

void loginLogoutContended(benchmark::State &state) {
    Hammers hammers(kHammers, [] {
        if (api.processLogIn(kFirstSlot) == 1) api.processLogOut(kFirstSlot);
    });
    for (auto _ : state) loginLogout(state, kFirstSlot);
}
BENCHMARK(loginLogoutContended)->Name("call/logInOut4")->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--sleeper-names") == 0) {
        for (const char *name : kSleeperNames) std::printf("%s\n", name);
        return 0;
    }
    loadLibrary();
    // Registered only when the library has it, so that this file builds and
    // runs before and after the call arrives.
    if (api.GetControllableTaskList)
        benchmark::RegisterBenchmark("call/GetControllableTaskList", getControllableTaskList);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
