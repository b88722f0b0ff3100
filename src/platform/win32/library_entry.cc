// The DLL's load and unload entry. A failed attach returns FALSE, so the
// loader refuses the DLL and LoadLibrary (or the program's start) fails.
#include "platform/platform.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return sorvik::onProcessAttach() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            sorvik::onProcessDetach();
            return TRUE;
        default:
            return TRUE;
    }
}
