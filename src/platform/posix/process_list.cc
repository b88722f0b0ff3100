// The running processes, from /proc: one openat/read/close of
// /proc/PID/stat per process, relative to one open /proc directory. The name
// handed on is the executable's file name as Linux has it: everything after
// the last '/', backslashes included.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sorvik::platform {
namespace {

constexpr unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD
constexpr size_t kKernelNameCut = 15;                // TASK_COMM_LEN - 1

// Reads a small /proc file relative to the /proc directory; the length
// read, or -1. The text is always terminated.
ssize_t readProcFile(int procFd, const char *path, char *buffer, size_t size) {
    const int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t got;
    do {
        got = read(fd, buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got < 0) return -1;
    buffer[got] = '\0';
    return got;
}

const char *afterLastSlash(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool parseDecimal(const char **at, unsigned long *value) {
    const char *p = *at;
    while (*p == ' ') ++p;
    if (*p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    unsigned long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<unsigned long>(*p - '0');
    *value = v;
    *at = p;
    return true;
}

struct StatLine {
    const char *name;
    size_t nameLength;
    char state;
    unsigned long flags;
    unsigned long threads;
};

// "PID (NAME) STATE PPID PGRP SESSION TTY TPGID FLAGS MINFLT CMINFLT MAJFLT
// CMAJFLT UTIME STIME CUTIME CSTIME PRIORITY NICE THREADS ...": the name runs
// from the first '(' to the last ')', since it may hold both.
bool parseStat(const char *text, size_t length, StatLine *line) {
    const char *open = static_cast<const char *>(std::memchr(text, '(', length));
    const char *close = nullptr;
    for (const char *p = text + length; p > text;)
        if (*--p == ')') {
            close = p;
            break;
        }
    if (!open || !close || close < open || close + 3 > text + length) return false;
    line->name = open + 1;
    line->nameLength = static_cast<size_t>(close - open - 1);
    line->state = close[2];
    const char *at = close + 3;
    unsigned long skipped;
    for (int field = 0; field < 5; ++field)
        if (!parseDecimal(&at, &skipped)) return false;
    if (!parseDecimal(&at, &line->flags)) return false;
    for (int field = 0; field < 10; ++field)
        if (!parseDecimal(&at, &skipped)) return false;
    return parseDecimal(&at, &line->threads);
}

// A process runs while any of its threads does. A leader thread that has
// ended shows the process as a zombie although the others still run; the
// process is gone only when the zombie is its last thread.
bool hasEnded(const StatLine &line) { return line.state == 'X' || (line.state == 'Z' && line.threads <= 1); }

// The /proc directory, relative to /proc, that still shows the process's
// executable and command line: the process's own, or, once its leader has
// ended, that of a thread that still runs.
void liveTaskDirectory(int procFd, const char *pid, const StatLine &line, char *out, size_t outSize) {
    std::snprintf(out, outSize, "%.20s", pid);
    if (line.state != 'Z') return;
    char path[64];
    std::snprintf(path, sizeof path, "%.20s/task", pid);
    const int taskFd = openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (taskFd < 0) return;
    DIR *tasks = fdopendir(taskFd);
    if (!tasks) {
        close(taskFd);
        return;
    }
    char stat[1024];
    while (const dirent *entry = readdir(tasks)) {
        const char *tid = entry->d_name;
        if (tid[0] < '1' || tid[0] > '9' || std::strlen(tid) > 20 || std::strcmp(tid, pid) == 0) continue;
        std::snprintf(path, sizeof path, "%.20s/task/%.20s/stat", pid, tid);
        const ssize_t length = readProcFile(procFd, path, stat, sizeof stat);
        StatLine thread;
        if (length > 0 && parseStat(stat, static_cast<size_t>(length), &thread) && thread.state != 'Z' &&
            thread.state != 'X') {
            std::snprintf(out, outSize, "%.20s/task/%.20s", pid, tid);
            break;
        }
    }
    closedir(tasks);
}

// The kernel names an executable that was deleted or replaced since the
// process started by its old path with " (deleted)" appended. A file whose
// own name ends so is told apart by being the very file the process runs.
void dropDeletedMarker(int procFd, const char *exePath, char *target, size_t *length) {
    static const char kMarker[] = " (deleted)";
    const size_t markerLength = sizeof kMarker - 1;
    if (*length <= markerLength || std::strcmp(target + *length - markerLength, kMarker) != 0) return;
    struct stat running, named;
    if (fstatat(procFd, exePath, &running, 0) == 0 && stat(target, &named) == 0 && running.st_dev == named.st_dev &&
        running.st_ino == named.st_ino)
        return;
    *length -= markerLength;
    target[*length] = '\0';
}

// The kernel keeps only 15 characters of a name. The full one is the
// executable's file name or the first or second word of the command line
// (an interpreter's script), whichever begins with the cut name.
bool fullName(int procFd, const char *taskDirectory, const char *cut, char *out, size_t outSize) {
    char path[96];
    std::snprintf(path, sizeof path, "%s/exe", taskDirectory);
    char target[4096];
    const ssize_t linked = readlinkat(procFd, path, target, sizeof target - 1);
    if (linked > 0) {
        target[linked] = '\0';
        size_t targetLength = static_cast<size_t>(linked);
        dropDeletedMarker(procFd, path, target, &targetLength);
        const char *base = afterLastSlash(target);
        if (std::strncmp(base, cut, kKernelNameCut) == 0 && std::strlen(base) < outSize) {
            std::strcpy(out, base);
            return true;
        }
    }
    std::snprintf(path, sizeof path, "%s/cmdline", taskDirectory);
    char command[4096];
    const ssize_t got = readProcFile(procFd, path, command, sizeof command);
    if (got <= 0) return false;
    const char *word = command;
    for (int i = 0; i < 2 && word < command + got; ++i, word += std::strlen(word) + 1) {
        const char *base = afterLastSlash(word);
        if (std::strncmp(base, cut, kKernelNameCut) == 0 && std::strlen(base) < outSize) {
            std::strcpy(out, base);
            return true;
        }
    }
    return false;
}

}  // namespace

bool listProcesses(ProcessVisitor visit, void *context) {
    DIR *dir = opendir("/proc");
    if (!dir) return false;
    const int procFd = dirfd(dir);
    char path[64];
    char stat[1024];
    char name[4096];
    while (const dirent *entry = readdir(dir)) {
        const char *pid = entry->d_name;
        if (pid[0] < '1' || pid[0] > '9' || std::strlen(pid) > 20) continue;
        std::snprintf(path, sizeof path, "%.20s/stat", pid);
        const ssize_t length = readProcFile(procFd, path, stat, sizeof stat);
        StatLine line;
        // A process that ended since the directory was read is passed over.
        if (length <= 0 || !parseStat(stat, static_cast<size_t>(length), &line)) continue;
        if ((line.flags & kKernelThread) || hasEnded(line)) continue;

        const char *text = line.name;
        size_t textLength = line.nameLength;
        if (textLength == kKernelNameCut) {
            char cut[kKernelNameCut + 1];
            std::memcpy(cut, line.name, kKernelNameCut);
            cut[kKernelNameCut] = '\0';
            char taskDirectory[64];
            liveTaskDirectory(procFd, pid, line, taskDirectory, sizeof taskDirectory);
            if (fullName(procFd, taskDirectory, cut, name, sizeof name)) {
                text = name;
                textLength = std::strlen(name);
            }
        }
        if (!visit(context, static_cast<uint32_t>(std::strtoul(pid, nullptr, 10)), text, textLength)) break;
    }
    closedir(dir);
    return true;
}

}  // namespace sorvik::platform
