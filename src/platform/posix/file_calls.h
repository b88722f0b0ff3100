// The system calls by which a save replaces a file, each reached through
// this one table so that any one of them can be made to fail: a failing
// disk, a full one or a refusal can then be met at every step, where they
// otherwise arise only by chance. Every entry starts as the call it is named
// after. Not part of the library's interface; an entry is changed only while
// no save runs, and put back before one does.
#ifndef SORVIK_PLATFORM_POSIX_FILE_CALLS_H
#define SORVIK_PLATFORM_POSIX_FILE_CALLS_H

#include <sys/types.h>

namespace sorvik::platform {

struct FileCalls {
    int (*makeTemporary)(char *pattern, int flags);  // mkostemp: the new file, created exclusively
    ssize_t (*write)(int fd, const void *data, size_t size);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*fchmod)(int fd, mode_t mode);
    int (*fsync)(int fd);  // the new file's, and the file's own when rewritten in place
    int (*rename)(const char *from, const char *to);
    int (*syncDirectory)(int fd);  // fsync of the directory, once the rename is made
    int (*unlink)(const char *path);
};

extern FileCalls fileCalls;

}  // namespace sorvik::platform

#endif
