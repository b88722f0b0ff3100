// Replacing the configuration file: a new file beside the old one, created
// exclusively, written and flushed, then moved over the old one in one
// rename (MoveFileEx), so a reader sees one file or the other whole. The new
// file takes the directory's inherited security, as the old one did, and
// the old one's hidden, system and archive attributes. A read-only old file
// is never replaced: Windows refuses the move over it, but not every
// implementation of the call does, so the attribute is checked first.
// Failures are told in Windows' error numbers; a caller's errno gets the C
// runtime's number that stands for one.
#include "platform/platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sorvik::platform {
namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr int kNameTries = 100;

bool writeAll(HANDLE file, const char *data, size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// A new file `path`.NNNNNNNN.tmp that nobody else had, or INVALID_HANDLE_VALUE.
HANDLE createTemporary(const std::string &path, DWORD attributes, std::string *temporary) {
    static volatile LONG serial = 0;
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%08lx%04lx.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(InterlockedIncrement(&serial) & 0xffff));
        *temporary = path + suffix;
        HANDLE file = CreateFileA(temporary->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

// Removes the temporaries that savers killed halfway left beside the file.
// A live saver holds its temporary open without delete sharing until it is
// written, so deleting it fails; the moment between its close and its move
// is covered by the table lock, under which every save runs.
void removeAbandonedTemporaries(const std::string &path) {
    WIN32_FIND_DATAA found;
    const std::string pattern = path + ".*.tmp";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    const size_t slash = path.find_last_of("\\/");
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((directory + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

void setErrno(int error) {
    // The numbers a save can meet, mapped as the C runtime maps them for its
    // own file calls; EINVAL, as there, for any other.
    struct Mapping {
        DWORD system;
        int c;
    };
    static const Mapping kMappings[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},      {ERROR_PATH_NOT_FOUND, ENOENT},       {ERROR_INVALID_DRIVE, ENOENT},
        {ERROR_BAD_NETPATH, ENOENT},         {ERROR_BAD_NET_NAME, ENOENT},         {ERROR_BAD_PATHNAME, ENOENT},
        {ERROR_FILENAME_EXCED_RANGE, ENOENT}, {ERROR_ACCESS_DENIED, EACCES},       {ERROR_SHARING_VIOLATION, EACCES},
        {ERROR_LOCK_VIOLATION, EACCES},      {ERROR_WRITE_PROTECT, EACCES},        {ERROR_NETWORK_ACCESS_DENIED, EACCES},
        {ERROR_CANNOT_MAKE, EACCES},         {ERROR_DRIVE_LOCKED, EACCES},         {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST},      {ERROR_DISK_FULL, ENOSPC},            {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},   {ERROR_OUTOFMEMORY, ENOMEM},          {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
        {ERROR_INVALID_HANDLE, EBADF},       {ERROR_WRITE_FAULT, EIO},             {ERROR_READ_FAULT, EIO},
        {ERROR_GEN_FAILURE, EIO},
    };
    int c = EINVAL;
    for (const Mapping &mapping : kMappings)
        if (mapping.system == static_cast<DWORD>(error)) c = mapping.c;
    _doserrno = static_cast<unsigned long>(error);
    errno = c;
}

bool replaceFile(const char *path, const char *data, size_t size, int *error) {
    const std::string target(path);
    const DWORD old = GetFileAttributesA(path);
    if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY)) {
        if (error) *error = ERROR_ACCESS_DENIED;
        return false;
    }
    const DWORD attributes =
        old == INVALID_FILE_ATTRIBUTES || (old & kKeptAttributes) == 0 ? FILE_ATTRIBUTE_NORMAL : old & kKeptAttributes;

    removeAbandonedTemporaries(target);
    std::string temporary;
    HANDLE file = createTemporary(target, attributes, &temporary);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) *error = static_cast<int>(GetLastError());
        return false;
    }
    bool ok = writeAll(file, data, size) && FlushFileBuffers(file);
    DWORD failure = ok ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        failure = GetLastError();
    }
    if (ok && !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        failure = GetLastError();
    }
    if (!ok) {
        DeleteFileA(temporary.c_str());
        if (error) *error = static_cast<int>(failure);
        return false;
    }
    return true;
}

}  // namespace sorvik::platform
