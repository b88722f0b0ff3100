#include "platform/platform.h"
#include "platform/posix/file_calls.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

namespace sorvik::platform {

constinit FileCalls fileCalls = {mkostemp, write, fchown, fchmod, fsync, rename, fsync, unlink};

namespace {

// A temporary of file F is ".F.sorvik-tmp.XXXXXX": hidden, and marked so
// that no administrator's own file (F.backup, F.old123) is ever taken for
// one.
constexpr char kTemporaryMarker[] = ".sorvik-tmp.";
constexpr size_t kTemporaryTail = 6;  // mkostemp's letters and digits
constexpr int kMaxLinks = 40;         // as the kernel's own limit on a path

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t written = fileCalls.write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string directoryOf(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string fileOf(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links at the end of `path` to the file they name, which
// need not exist yet. The links in the directories on the way stay as they
// are: a rename within the final directory works through them.
bool resolveLinks(const char *path, std::string *target) {
    *target = path;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        struct stat st;
        if (lstat(target->c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return true;
        char link[PATH_MAX];
        const ssize_t length = readlink(target->c_str(), link, sizeof link);
        if (length < 0) return false;
        if (static_cast<size_t>(length) >= sizeof link) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string next(link, static_cast<size_t>(length));
        *target = next[0] == '/' ? next : directoryOf(*target) + "/" + next;
    }
    errno = ELOOP;
    return false;
}

void syncDirectory(const std::string &directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fileCalls.syncDirectory(fd);  // not every file system can; the rename stands either way
    close(fd);
}

bool isTemporaryOf(const std::string &file, const char *entry) {
    const std::string prefix = "." + file + kTemporaryMarker;
    const size_t length = strlen(entry);
    if (length != prefix.size() + kTemporaryTail || prefix.compare(0, prefix.size(), entry, prefix.size()) != 0)
        return false;
    for (size_t i = prefix.size(); i < length; ++i)
        if (!isalnum(static_cast<unsigned char>(entry[i]))) return false;
    return true;
}

// Removes the temporaries that this user's savers, killed halfway, left
// beside the file. A saver holds an exclusive flock on its temporary from
// creation to rename, so one that can be locked has nobody writing it any
// more. Another user's temporary is theirs to clear, even for root.
void removeAbandonedTemporaries(const std::string &directory, const std::string &file) {
    DIR *listing = opendir(directory.c_str());
    if (!listing) return;
    while (const dirent *entry = readdir(listing)) {
        if (!isTemporaryOf(file, entry->d_name)) continue;
        const std::string path = directory + "/" + entry->d_name;
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat opened, named;
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &named) == 0 &&
            named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
            fileCalls.unlink(path.c_str());
        close(fd);
    }
    closedir(listing);
}

// A new temporary in `directory` for `file`, exclusively flocked: -1 when
// none can be made. A temporary removed by a cleaner before the flock was
// taken (it is then no longer linked) is given up for another.
int createTemporary(const std::string &directory, const std::string &file, std::string *temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        *temporary = directory + "/." + file + kTemporaryMarker + std::string(kTemporaryTail, 'X');
        // mkostemp creates the file exclusively (O_EXCL) with mode 0600
        // under a name nobody could have chosen first.
        const int fd = fileCalls.makeTemporary(temporary->data(), O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat st;
        int locked;
        do {
            locked = flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked == 0 && fstat(fd, &st) == 0 && st.st_nlink > 0) return fd;
        const int failure = errno;
        close(fd);
        if (locked != 0) {
            fileCalls.unlink(temporary->c_str());
            errno = failure;
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

// The directory, not the file, forbids what the atomic replacement needs.
bool directoryRefuses(int error) { return error == EACCES || error == EPERM; }

// Rewrites the open file whole. The room is claimed first where the file
// system can, so that a full disk stops the save before any old byte is
// overwritten.
bool rewriteInPlace(int fd, const char *data, size_t size) {
    if (size > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        return false;
    for (size_t done = 0; done < size;) {
        const ssize_t written = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return ftruncate(fd, static_cast<off_t>(size)) == 0 && fileCalls.fsync(fd) == 0;
}

// The file now at `target`, opened for writing without changing it: -1 with
// errno 0 when there is none; -1 with errno set when this process may not
// write it or it is no regular file.
int openExisting(const std::string &target, struct stat *st) {
    if (stat(target.c_str(), st) != 0) {
        if (errno == ENOENT) errno = 0;
        return -1;
    }
    // Opening a device or a FIFO can itself have effects, or wait.
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : ENODEV;
        return -1;
    }
    const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat opened;
    const int failure = fstat(fd, &opened) != 0 ? errno : S_ISREG(opened.st_mode) ? 0 : ENODEV;
    if (failure != 0) {
        close(fd);
        errno = failure;
        return -1;
    }
    *st = opened;
    return fd;
}

bool replaceAtomically(const std::string &target, const std::string &directory, int temporaryFd,
                       const std::string &temporary, const struct stat *old, const char *data, size_t size) {
    mode_t mode = 0644;
    if (old) {
        mode = old->st_mode & 07777 & ~static_cast<mode_t>(S_IWOTH);
        if (fileCalls.fchown(temporaryFd, old->st_uid, old->st_gid) != 0) {
            // Only the owner's group may be kept without privilege; keeping
            // the caller's ownership is the next best thing.
        }
    }
    // The rename comes before the close: the flock that keeps cleaners away
    // from the temporary lasts until the close.
    const bool ok = fileCalls.fchmod(temporaryFd, mode) == 0 && writeAll(temporaryFd, data, size) &&
                    fileCalls.fsync(temporaryFd) == 0 && fileCalls.rename(temporary.c_str(), target.c_str()) == 0;
    const int failure = ok ? 0 : errno;
    if (!ok) fileCalls.unlink(temporary.c_str());
    close(temporaryFd);
    if (ok) syncDirectory(directory);
    errno = failure;
    return ok;
}

}  // namespace

void setErrno(int error) { errno = error; }

int invalidDataError() { return EINVAL; }

bool replaceFile(const char *path, const char *data, size_t size, int *error) {
    std::string target;
    struct stat old;
    int existing = -1;
    bool ok = resolveLinks(path, &target);
    if (ok) {
        existing = openExisting(target, &old);
        ok = existing >= 0 || errno == 0;
    }
    if (ok) {
        const std::string directory = directoryOf(target);
        const std::string file = fileOf(target);
        removeAbandonedTemporaries(directory, file);
        std::string temporary;
        const int fd = createTemporary(directory, file, &temporary);
        ok = fd >= 0 && replaceAtomically(target, directory, fd, temporary, existing >= 0 ? &old : nullptr, data, size);
        if (!ok && existing >= 0 && directoryRefuses(errno)) ok = rewriteInPlace(existing, data, size);
    }
    const int failure = errno;
    if (existing >= 0) close(existing);
    if (!ok && error) *error = failure;
    return ok;
}

}  // namespace sorvik::platform
