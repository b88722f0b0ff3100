// A child process for the Windows tests, run as itself or as a copy under
// another name. Runs the commands given as arguments in order, printing one
// line for each, and ends when its standard input ends (or it is killed).
//
//   attach REGION CONFIG  attaches to the region as the library does
//   set-exe I N           sets record I's exeCount
//   lock                  takes the table lock and keeps it
//   begin-change          marks a change of several fields begun
//   copy-record FROM TO   copies record FROM over record TO
//   increment I N         N times under the lock: reads record I's exeCount,
//                         gives up its time slice, writes it back plus one
//   window TITLE          creates a visible top-level window with that title
//   hidden TITLE          creates an invisible one
//   hold                  prints "holding" and waits for the end of input
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "table/table.h"

namespace {

sorvik::Client gClient;

HWND createWindow(const char *title, bool visible) {
    static ATOM windowClass = 0;
    if (!windowClass) {
        WNDCLASSA description{};
        description.lpfnWndProc = DefWindowProcA;
        description.hInstance = GetModuleHandleA(nullptr);
        description.lpszClassName = "SorvikTestWindow";
        windowClass = RegisterClassA(&description);
    }
    return CreateWindowExA(0, "SorvikTestWindow", title, WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 0, 0,
                           120, 80, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

void holdUntilInputEnds() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const char *command = argv[i];
        const bool hasOne = i + 1 < argc, hasTwo = i + 2 < argc;
        if (std::strcmp(command, "attach") == 0 && hasTwo) {
            static std::string config = argv[i + 2];
            static std::string region = argv[i + 1];
            const sorvik::Site site{config.c_str(), region.c_str(), ""};
            if (!sorvik::attach(&gClient, site)) {
                std::printf("attach failed\n");
                return 2;
            }
            std::printf("attached\n");
            i += 2;
        } else if (std::strcmp(command, "set-exe") == 0 && hasTwo && gClient.table) {
            gClient.table->records[std::atoi(argv[i + 1])].exeCount = std::atoi(argv[i + 2]);
            std::printf("set\n");
            i += 2;
        } else if (std::strcmp(command, "lock") == 0 && gClient.table) {
            auto *lock = new sorvik::TableLock(&gClient);  // kept until the process ends
            std::printf(lock->table() ? "locked\n" : "lock failed\n");
        } else if (std::strcmp(command, "begin-change") == 0 && gClient.table) {
            sorvik::beginChange(&gClient);
            std::printf("begun\n");
        } else if (std::strcmp(command, "copy-record") == 0 && hasTwo && gClient.table) {
            std::memcpy(&gClient.table->records[std::atoi(argv[i + 2])],
                        &gClient.table->records[std::atoi(argv[i + 1])], sizeof(ProStru));
            std::printf("copied\n");
            i += 2;
        } else if (std::strcmp(command, "increment") == 0 && hasTwo && gClient.table) {
            ProStru &record = gClient.table->records[std::atoi(argv[i + 1])];
            for (int n = std::atoi(argv[i + 2]); n > 0; --n) {
                sorvik::TableLock lock(&gClient);
                const int32_t seen = record.exeCount;
                SwitchToThread();  // another process that could get in, gets in here
                record.exeCount = seen + 1;
            }
            std::printf("incremented\n");
            i += 2;
        } else if ((std::strcmp(command, "window") == 0 || std::strcmp(command, "hidden") == 0) && hasOne) {
            HWND window = createWindow(argv[i + 1], command[0] == 'w');
            std::printf("window %lu\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window) & 0xffffffffu));
            if (!window) return 3;
            i += 1;
        } else if (std::strcmp(command, "hold") == 0) {
            std::printf("holding\n");
            holdUntilInputEnds();
        } else {
            std::fprintf(stderr, "helper: cannot run %s\n", command);
            return 64;
        }
    }
    return 0;
}
