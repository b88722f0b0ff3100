#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

void setErrno(int error) { errno = error; }

bool replaceFile(const char *path, const char *data, size_t size, int *error) {
    const std::string target(path);
    // mkstemp creates the file exclusively (O_EXCL) with mode 0600 under a
    // name nobody could have chosen first.
    std::string temporary = target + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
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

    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, data, size) && fsync(fd) == 0;
    int failure = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && rename(temporary.c_str(), path) != 0) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        if (error) *error = failure;
        return false;
    }
    syncDirectory(directoryOf(target));
    return true;
}

}  // namespace sorvik::platform
