#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

namespace sorvik::platform {
namespace {

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
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

void syncDirectory(const std::string &directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // not every file system can; the rename stands either way
    close(fd);
}

// The name mkostemp gives a temporary of `file`: the file name, a dot and
// six letters or digits.
bool isTemporaryOf(const std::string &file, const char *entry) {
    const size_t length = strlen(entry);
    if (length != file.size() + 7 || file.compare(0, file.size(), entry, file.size()) != 0 || entry[file.size()] != '.')
        return false;
    for (size_t i = file.size() + 1; i < length; ++i)
        if (!isalnum(static_cast<unsigned char>(entry[i]))) return false;
    return true;
}

// Removes the temporaries that savers killed halfway left beside the file.
// A saver holds an exclusive flock on its temporary from creation to rename,
// so one that can be locked has nobody writing it any more.
void removeAbandonedTemporaries(const std::string &directory, const std::string &file) {
    DIR *listing = opendir(directory.c_str());
    if (!listing) return;
    while (const dirent *entry = readdir(listing)) {
        if (!isTemporaryOf(file, entry->d_name)) continue;
        const std::string path = directory + "/" + entry->d_name;
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat opened, named;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
            unlink(path.c_str());
        close(fd);
    }
    closedir(listing);
}

// A new temporary beside `target`, exclusively flocked: -1 when none can be
// made. A temporary removed by a cleaner before the flock was taken (it is
// then no longer linked) is given up for another.
int createTemporary(const std::string &target, std::string *temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        *temporary = target + ".XXXXXX";
        // mkostemp creates the file exclusively (O_EXCL) with mode 0600
        // under a name nobody could have chosen first.
        const int fd = mkostemp(temporary->data(), O_CLOEXEC);
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
            unlink(temporary->c_str());
            errno = failure;
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

void setErrno(int error) { errno = error; }

bool replaceFile(const char *path, const char *data, size_t size, int *error) {
    const std::string target(path);
    const std::string directory = directoryOf(target);
    const size_t slash = target.find_last_of('/');
    removeAbandonedTemporaries(directory, slash == std::string::npos ? target : target.substr(slash + 1));
    std::string temporary;
    const int fd = createTemporary(target, &temporary);
    if (fd < 0) {
        if (error) *error = errno;
        return false;
    }

    struct stat old;
    mode_t mode = 0644;
    if (stat(path, &old) == 0) {
        mode = old.st_mode & 07777 & ~static_cast<mode_t>(S_IWOTH);
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only the owner's group may be kept without privilege; keeping
            // the caller's ownership is the next best thing.
        }
    }

    // The rename comes before the close: the flock that keeps cleaners away
    // from the temporary lasts until the close.
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, data, size) && fsync(fd) == 0 &&
              rename(temporary.c_str(), path) == 0;
    const int failure = ok ? 0 : errno;
    if (!ok) unlink(temporary.c_str());
    close(fd);
    if (!ok) {
        if (error) *error = failure;
        return false;
    }
    syncDirectory(directory);
    return true;
}

}  // namespace sorvik::platform
