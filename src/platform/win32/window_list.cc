// The top-level windows, from EnumWindows. Window handles are 32 bits wide
// in every Windows process, 64-bit ones included, so the cut loses nothing.
#include "platform/platform.h"

#include <windows.h>

namespace sorvik::platform {
namespace {

struct Walk {
    WindowVisitor visit;
    void *context;
};

BOOL CALLBACK visitWindow(HWND window, LPARAM parameter) {
    const auto *walk = reinterpret_cast<const Walk *>(parameter);
    DWORD owner = 0;
    if (GetWindowThreadProcessId(window, &owner) == 0) owner = 0;
    char title[64];
    const int length = GetWindowTextA(window, title, sizeof title);
    title[length > 0 && length < static_cast<int>(sizeof title) ? length : 0] = '\0';
    walk->visit(walk->context, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)), owner,
                IsWindowVisible(window) != FALSE, title);
    return TRUE;
}

}  // namespace

bool listWindows(WindowVisitor visit, void *context) {
    Walk walk{visit, context};
    return EnumWindows(visitWindow, reinterpret_cast<LPARAM>(&walk)) != FALSE;
}

}  // namespace sorvik::platform
