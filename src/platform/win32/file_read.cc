// Reading the configuration file: only a file on disk is read, opened with
// every sharing allowed so that nobody else's access is disturbed.
#include "platform/platform.h"

#include <windows.h>

namespace sorvik::platform {

ReadResult readFile(const char *path, size_t limit, std::string *text, int *error) {
    text->clear();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) return ReadResult::absent;
        // A directory cannot be opened this way; say what it is.
        const DWORD attributes = GetFileAttributesA(path);
        *error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? static_cast<int>(ERROR_DIRECTORY)
                     : static_cast<int>(failure);
        return ReadResult::failed;
    }
    DWORD failure = GetFileType(file) == FILE_TYPE_DISK ? ERROR_SUCCESS : ERROR_BAD_FILE_TYPE;
    char chunk[8192];
    while (failure == ERROR_SUCCESS && text->size() < limit) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            failure = GetLastError();
            break;
        }
        if (got == 0) break;
        try {
            text->append(chunk, got);
        } catch (...) {
            failure = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    CloseHandle(file);
    if (failure == ERROR_SUCCESS) return ReadResult::read;
    text->clear();
    *error = static_cast<int>(failure);
    return ReadResult::failed;
}

}  // namespace sorvik::platform
