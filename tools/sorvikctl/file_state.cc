#include "file_state.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "records.h"
#include "site.h"
#include "sorvik.h"
#include "table/names.h"

namespace sorvikctl {
namespace {

// A name as it can be shown on one line.
std::string shown(std::string name) {
    for (char &c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return name;
}

}  // namespace

std::string unreadableReason() {
    struct stat st;
    if (stat(kConfigPath, &st) != 0) return errno == ENOENT ? "" : std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "it is a directory";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file (a FIFO, a device or a socket)";
#ifdef _WIN32
    std::FILE *file = std::fopen(kConfigPath, "rb");
    if (!file) return std::strerror(errno);
    std::fclose(file);
#else
    // Never waits: the path may have become a FIFO since the stat.
    const int fd = open(kConfigPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    close(fd);
#endif
    return "";
}

std::string unsavableRecord() {
    const int32_t count = GetControllableProcessNum();
    for (int32_t i = 0; i < count; ++i) {
        const ProStru *record = GetProcessStruAt(i);
        if (!record) break;
        const std::string name = fieldText(record->proName, sizeof record->proName);
        const std::string which = "record " + std::to_string(i);
        switch (sorvik::readBackFault(name)) {
            case sorvik::NameFault::none:
            case sorvik::NameFault::endsInBackslash:
                break;
            case sorvik::NameFault::empty:
                return which + " has an empty name";
            // A name in its field is too long only when it fills the field.
            case sorvik::NameFault::tooLong:
                return which + " has a name of " + std::to_string(name.size()) +
                       " characters without a terminator (it begins \"" + shown(name.substr(0, 20)) + "\")";
            case sorvik::NameFault::holdsNul:
                return which + " is named \"" + shown(name) + "\", which holds a NUL byte";
            case sorvik::NameFault::holdsSeparator:
                return which + " is named \"" + shown(name) + "\", which holds white space";
        }
    }
    return "";
}

}  // namespace sorvikctl
