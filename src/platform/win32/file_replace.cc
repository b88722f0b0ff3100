// Replacing the configuration file: a new file beside the old one, created
// exclusively, written and flushed, then moved over the old one in one
// rename (MoveFileEx), so a reader sees one file or the other whole. The new
// file takes the directory's inherited security, as the old one did, and
// the old one's hidden, system and archive attributes. A file this process
// may not write is never replaced: the read-only attribute is checked
// (Windows refuses the move over it, but not every implementation of the
// call does), and the old file is opened for writing first, which asks the
// file's own security. Temporaries are named
// ".FILE.sorvik-tmp.PPPPPPPPSSSS", a name nobody gives a file of their own.
// Failures are told in Windows' error numbers; a caller's errno gets the C
// runtime's number that stands for one.
#include "platform/platform.h"
#include "platform/win32/file_calls.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sorvik::platform {

constinit FileCalls fileCalls = {CreateFileA, WriteFile, FlushFileBuffers, CloseHandle, MoveFileExA, DeleteFileA};

namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr int kNameTries = 100;

bool writeAll(HANDLE file, const char *data, size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!fileCalls.writeFile(file, data, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

constexpr char kTemporaryMarker[] = ".sorvik-tmp.";
constexpr size_t kTemporaryTail = 12;  // the process and a serial, in hexadecimal

std::string directoryOf(const std::string &path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string fileOf(const std::string &path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new temporary beside `path` that nobody else had, or
// INVALID_HANDLE_VALUE.
HANDLE createTemporary(const std::string &path, DWORD attributes, std::string *temporary) {
    static volatile LONG serial = 0;
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        char tail[32];
        std::snprintf(tail, sizeof tail, "%08lx%04lx", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(InterlockedIncrement(&serial) & 0xffff));
        *temporary = directoryOf(path) + "." + fileOf(path) + kTemporaryMarker + tail;
        HANDLE file =
            fileCalls.createTemporary(temporary->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool isTemporaryOf(const std::string &file, const char *entry) {
    const std::string prefix = "." + file + kTemporaryMarker;
    const size_t length = std::strlen(entry);
    if (length != prefix.size() + kTemporaryTail || _strnicmp(entry, prefix.c_str(), prefix.size()) != 0) return false;
    for (size_t i = prefix.size(); i < length; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(entry[i]))) return false;
    return true;
}

// Removes the temporaries that savers killed halfway left beside the file,
// and nothing else. A live saver holds its temporary open without delete
// sharing until it is written, so deleting it fails; the moment between its
// close and its move is covered by the table lock, under which every save
// runs. Another user's temporary is protected by its own security.
void removeAbandonedTemporaries(const std::string &path) {
    WIN32_FIND_DATAA found;
    const std::string file = fileOf(path);
    const std::string pattern = directoryOf(path) + "." + file + kTemporaryMarker + "*";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            isTemporaryOf(file, found.cFileName))
            fileCalls.deleteFile((directoryOf(path) + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// Whether this process may write the file at `path`, asked of the file's
// own security by opening it for writing without changing it. True when
// there is no file yet.
bool mayWrite(const char *path, DWORD *failure) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *failure = GetLastError();
        return *failure == ERROR_FILE_NOT_FOUND;
    }
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    CloseHandle(file);
    *failure = disk ? ERROR_SUCCESS : ERROR_BAD_FILE_TYPE;
    return disk;
}

}  // namespace

int invalidDataError() { return ERROR_INVALID_DATA; }

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
        {ERROR_GEN_FAILURE, EIO},           {ERROR_DIRECTORY, EISDIR},           {ERROR_BAD_FILE_TYPE, ENODEV},
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
    if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY)) {
        if (error) *error = ERROR_DIRECTORY;
        return false;
    }
    DWORD denied = ERROR_SUCCESS;
    if (!mayWrite(path, &denied)) {
        if (error) *error = static_cast<int>(denied);
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
    bool ok = writeAll(file, data, size) && fileCalls.flushFileBuffers(file);
    DWORD failure = ok ? ERROR_SUCCESS : GetLastError();
    if (!fileCalls.closeHandle(file) && ok) {
        ok = false;
        failure = GetLastError();
    }
    if (ok && !fileCalls.moveFileEx(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        failure = GetLastError();
    }
    if (!ok) {
        fileCalls.deleteFile(temporary.c_str());
        if (error) *error = static_cast<int>(failure);
        return false;
    }
    return true;
}

}  // namespace sorvik::platform
