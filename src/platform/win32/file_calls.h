// The system calls by which a save replaces a file, each reached through
// this one table so that any one of them can be made to fail. Every entry
// starts as the call it is named after. Not part of the library's interface;
// an entry is changed only while no save runs, and put back before one does.
#ifndef SORVIK_PLATFORM_WIN32_FILE_CALLS_H
#define SORVIK_PLATFORM_WIN32_FILE_CALLS_H

#include <windows.h>

namespace sorvik::platform {

struct FileCalls {
    // CreateFileA, for the new file only.
    HANDLE(WINAPI *createTemporary)(LPCSTR path, DWORD access, DWORD sharing, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD attributes, HANDLE model);
    BOOL(WINAPI *writeFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI *flushFileBuffers)(HANDLE file);
    BOOL(WINAPI *closeHandle)(HANDLE file);  // the new file's
    BOOL(WINAPI *moveFileEx)(LPCSTR from, LPCSTR to, DWORD flags);
    BOOL(WINAPI *deleteFile)(LPCSTR path);
};

extern FileCalls fileCalls;

}  // namespace sorvik::platform

#endif
