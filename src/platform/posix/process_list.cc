// The running processes, from /proc: one openat/read/close of
// /proc/PID/stat per process, relative to one open /proc directory.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
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
};

// "PID (NAME) STATE PPID PGRP SESSION TTY TPGID FLAGS ...": the name runs
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
    return parseDecimal(&at, &line->flags);
}

// The kernel keeps only 15 characters of a name. The full one is the
// executable's file name or the first or second word of the command line
// (an interpreter's script), whichever begins with the cut name.
bool fullName(int procFd, const char *pid, const char *cut, char *out, size_t outSize) {
    char path[64];
    std::snprintf(path, sizeof path, "%.20s/exe", pid);
    char target[4096];
    const ssize_t linked = readlinkat(procFd, path, target, sizeof target - 1);
    if (linked > 0) {
        target[linked] = '\0';
        const char *base = afterLastSlash(target);
        if (std::strncmp(base, cut, kKernelNameCut) == 0 && std::strlen(base) < outSize) {
            std::strcpy(out, base);
            return true;
        }
    }
    std::snprintf(path, sizeof path, "%.20s/cmdline", pid);
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
        if ((line.flags & kKernelThread) || line.state == 'Z' || line.state == 'X') continue;

        const char *text = line.name;
        size_t textLength = line.nameLength;
        if (textLength == kKernelNameCut) {
            char cut[kKernelNameCut + 1];
            std::memcpy(cut, line.name, kKernelNameCut);
            cut[kKernelNameCut] = '\0';
            if (fullName(procFd, pid, cut, name, sizeof name)) {
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
