// Reading the configuration file. The first process to load the library
// reads it while every other loader waits, so nothing here may block: a FIFO
// opened without O_NONBLOCK waits for a writer that may never come.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::platform {
namespace {

// The kind of file a stat found, as the error that refuses it: 0 for a
// regular file.
int refusal(const struct stat &st) {
    if (S_ISREG(st.st_mode)) return 0;
    return S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
}

}  // namespace

ReadResult readFile(const char *path, size_t limit, std::string *text, int *error) {
    text->clear();
    // Looked at before it is opened: opening a device can have effects of its
    // own, and a socket cannot be opened at all.
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT) return ReadResult::absent;
        *error = errno;
        return ReadResult::failed;
    }
    if ((*error = refusal(st)) != 0) return ReadResult::failed;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::absent;
        *error = errno;
        return ReadResult::failed;
    }
    // The path may name something else by now.
    int failure = fstat(fd, &st) != 0 ? errno : refusal(st);
    char chunk[8192];
    while (failure == 0 && text->size() < limit) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0) {
            if (errno != EINTR) failure = errno;
            continue;
        }
        try {
            text->append(chunk, static_cast<size_t>(got));
        } catch (...) {
            failure = ENOMEM;
        }
    }
    close(fd);
    if (failure == 0) return ReadResult::read;
    text->clear();
    *error = failure;
    return ReadResult::failed;
}

}  // namespace sorvik::platform
