// The running processes, from a Toolhelp snapshot.
#include "platform/platform.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

namespace sorvik::platform {

bool listProcesses(ProcessVisitor visit, void *context) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot, &entry)) {
        CloseHandle(snapshot);
        return false;
    }
    do {
        // Process 0 is the idle pseudo-process, which has no executable.
        if (entry.th32ProcessID == 0) continue;
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        // Toolhelp gives the file name, but a path would still end in it.
        const char *slash = std::strrchr(entry.szExeFile, '\\');
        const char *fileName = slash ? slash + 1 : entry.szExeFile;
        if (!visit(context, entry.th32ProcessID, fileName, std::strlen(fileName))) break;
    } while (Process32Next(snapshot, &entry));
    CloseHandle(snapshot);
    return true;
}

}  // namespace sorvik::platform
