// The DLL's load and unload entry. A failed attach returns FALSE, so the
// loader refuses the DLL and LoadLibrary (or the program's start) fails.
#include "platform/platform.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return sorvik::onProcessAttach() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            // A non-null `reserved` means the process is ending: its other
            // threads were stopped wherever they were, so nothing they used
            // may be released; the system closes and unmaps it all itself.
            sorvik::onProcessDetach(reserved != nullptr);
            return TRUE;
        default:
            return TRUE;
    }
}
