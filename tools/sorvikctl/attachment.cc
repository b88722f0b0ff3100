// Whether this process got the shared table, asked before any command: a
// process the library could not attach answers every administration call
// with 2 and errno telling why, so a deletion of a name no record can hold
// asks without changing anything.
#include <errno.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <grp.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "site.h"
#include "sorvik.h"

namespace sorvikctl {
namespace {

// The group that owns the run directory, by name when it has one.
std::string directoryGroup() {
    struct stat st;
    if (stat(kRunDir, &st) != 0) return "that owns " + std::string(kRunDir);
#ifndef _WIN32
    if (const struct group *g = getgrgid(st.st_gid)) return g->gr_name;
#endif
    return std::to_string(st.st_gid);
}

bool writableByOthers() {
    struct stat st;
#ifdef S_IWOTH
    return stat(kRunDir, &st) == 0 && (st.st_mode & S_IWOTH) != 0;
#else
    return false;
#endif
}

std::string createDirectory() {
    if (*kMakeRunDir) return "as root, run: " + std::string(kMakeRunDir);
    return "create it";
}

// What is wrong, and how to mend it.
std::string diagnosis(int error) {
    const std::string objects = std::string(kRunDir) + "/*";
    switch (error) {
    case EACCES:
        return "permission denied; add the user to the group " + directoryGroup() + " (and log in again)";
    case ENOENT:
        return "the directory does not exist; " + createDirectory();
    case ENOTDIR:
    case ELOOP:
        return "the directory, or an object in it, is a symbolic link or not what it should be; as root, remove "
               "it and run this command again" +
               (*kMakeRunDir ? " (" + createDirectory() + " first)" : std::string());
    case EPERM:
        if (writableByOthers()) return "users outside its group may write the directory; as root, run: chmod o-w " + std::string(kRunDir);
        return "an object in it is open to users outside the directory's group; when no program uses the table, "
               "remove " + objects;
    case EINVAL:
    case EISDIR:
        return "an object in it is not a regular file; remove " + objects;
#ifdef EUCLEAN
    case EUCLEAN:
        return "its objects were left by another build of the library or damaged, and programs still use them; "
               "end those programs (fuser -v " + objects + " lists them) and the next one to start builds the "
               "table afresh";
#endif
    default:
        return std::strerror(error);
    }
}

}  // namespace

int checkAttachment() {
    // Longer than any record's name, so it can never match one.
    const std::string noRecord(SORVIK_MAX_RECORDS, 'x');
    errno = 0;
    const int32_t result = DeleteOneProcess(noRecord.c_str());
    const int error = errno;
    if (result != 2 || error == 0) return 0;
    std::fprintf(stderr, "sorvikctl: cannot open the shared table in %s: %s\n", kRunDir, diagnosis(error).c_str());
    return kNotAttached;
}

}  // namespace sorvikctl
