// The shared region on Windows: two paging-file mappings, NAME (the table)
// and NAME.journal (a small header, then the journal), and two named
// mutexes, NAME.lock (the table lock) and NAME.attach (serialises attaches).
//
// Windows destroys a named object with its last handle, however the holding
// processes ended, so the region lives exactly as long as somebody uses it.
// The table lock is not used for attaching: an attach that took it from a
// dead holder would swallow the abandonment that tells the next caller to
// repair the table. The header's mark is written last by the attach that
// builds the region; an attach that finds the mapping without the mark knows
// its builder died half-way, and builds it again.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

namespace sorvik::platform {

// The two mappings and the table lock, and the view of the journal's mapping,
// whose header holds the mark.
struct RegionState {
    HANDLE tableMapping = nullptr;
    HANDLE journalMapping = nullptr;
    HANDLE tableLock = nullptr;
    void *journalView = nullptr;
};

namespace {

constexpr LONG kBuiltMark = 0x536f7242;  // "SorB"
constexpr size_t kJournalHeader = 64;    // the mark, then the journal

struct JournalHeader {
    volatile LONG built;
};
static_assert(sizeof(JournalHeader) <= kJournalHeader, "the header holds the mark");

// Creates or opens a mapping of at least `bytes`; *existed tells which.
HANDLE createMapping(const std::string &name, size_t bytes, bool *existed) {
    const unsigned long long size = bytes;
    SetLastError(ERROR_SUCCESS);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name.c_str());
    *existed = mapping && GetLastError() == ERROR_ALREADY_EXISTS;
    return mapping;
}

// Maps the whole mapping; null when it cannot, or when an existing mapping
// of that name is smaller than this build's layout.
void *mapWhole(HANDLE mapping, size_t bytes) {
    void *view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view) return nullptr;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) != sizeof info || info.RegionSize < bytes) {
        UnmapViewOfFile(view);
        return nullptr;
    }
    return view;
}

bool takeMutex(HANDLE mutex) {
    const DWORD result = WaitForSingleObject(mutex, INFINITE);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

// Runs with NAME.attach held.
bool attachLocked(const std::string &name, BuildRegion build, void *context, SharedRegion *region, bool *givenUp) {
    bool tableExisted = false;
    bool journalExisted = false;
    RegionState *state = region->state;
    state->tableMapping = createMapping(name, region->tableBytes, &tableExisted);
    if (!state->tableMapping) return false;
    region->table = mapWhole(state->tableMapping, region->tableBytes);
    if (!region->table) return false;

    const size_t journalMappingBytes = kJournalHeader + region->journalBytes;
    state->journalMapping = createMapping(name + ".journal", journalMappingBytes, &journalExisted);
    if (!state->journalMapping) return false;
    state->journalView = mapWhole(state->journalMapping, journalMappingBytes);
    if (!state->journalView) return false;
    region->journal = static_cast<char *>(state->journalView) + kJournalHeader;

    state->tableLock = CreateMutexA(nullptr, FALSE, (name + ".lock").c_str());
    if (!state->tableLock) return false;

    auto *header = static_cast<JournalHeader *>(state->journalView);
    if (tableExisted && journalExisted && header->built == kBuiltMark) return true;
    // Nobody uses what is there: it is new, or its builder died before the
    // mark. Either way start from zero bytes, as a new region does.
    std::memset(region->table, 0, region->tableBytes);
    std::memset(region->journal, 0, region->journalBytes);
    // Given up, the mark stays unwritten, so the next attach builds afresh.
    if (!build(context, region)) {
        *givenUp = true;
        return false;
    }
    InterlockedExchange(&header->built, kBuiltMark);
    return true;
}

}  // namespace

bool openRegion(const char *, const char *name, size_t tableBytes, size_t journalBytes, BuildRegion build,
                void *context, SharedRegion *region, int *error) {
    *region = SharedRegion{};
    *error = 0;
    region->state = new (std::nothrow) RegionState;
    if (!region->state) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    region->tableBytes = tableBytes;
    region->journalBytes = journalBytes;
    const std::string base(name);

    HANDLE attachMutex = CreateMutexA(nullptr, FALSE, (base + ".attach").c_str());
    if (!attachMutex) {
        *error = static_cast<int>(GetLastError());
        closeRegion(region);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    bool givenUp = false;
    bool ok = takeMutex(attachMutex) && attachLocked(base, build, context, region, &givenUp);
    // A mapping of another build's smaller layout fails without an error of
    // the system's own.
    if (!ok && !givenUp)
        *error = GetLastError() != ERROR_SUCCESS ? static_cast<int>(GetLastError()) : ERROR_INVALID_DATA;
    ReleaseMutex(attachMutex);
    CloseHandle(attachMutex);
    if (!ok) closeRegion(region);
    return ok;
}

void closeRegion(SharedRegion *region) {
    if (RegionState *state = region->state) {
        if (region->table) UnmapViewOfFile(region->table);
        if (state->journalView) UnmapViewOfFile(state->journalView);
        for (HANDLE handle : {state->tableMapping, state->journalMapping, state->tableLock})
            if (handle) CloseHandle(handle);
        delete state;
    }
    *region = SharedRegion{};
}

LockResult lockRegion(SharedRegion *region) {
    if (!region->state || !region->state->tableLock) return LockResult::failed;
    switch (WaitForSingleObject(region->state->tableLock, INFINITE)) {
        case WAIT_OBJECT_0:
            return LockResult::acquired;
        case WAIT_ABANDONED:
            return LockResult::ownerDied;
        default:
            return LockResult::failed;
    }
}

void unlockRegion(SharedRegion *region) { ReleaseMutex(region->state->tableLock); }

}  // namespace sorvik::platform
