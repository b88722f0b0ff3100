// The exported boundary: every exported call takes the table lock here, and
// only here, and hands the locked table to the subsystem that answers it.
#include "library.h"

#include "table/accessors.h"

namespace sorvik {
namespace {
Client gClient;
}

Client *processClient() { return &gClient; }

bool onProcessAttach() { return attach(&gClient, kBuildSite); }

void onProcessDetach() { detach(&gClient); }

}  // namespace sorvik

using namespace sorvik;

extern "C" {

int32_t SORVIK_CALL GetControllableProcessNum(void) {
    TableLock lock(processClient());
    return recordCount(lock.table());
}

ProStru *SORVIK_CALL GetProcessStruAt(int32_t index) {
    TableLock lock(processClient());
    return recordAt(lock.table(), index);
}

char *SORVIK_CALL GetProcessNameAt(int32_t index) {
    TableLock lock(processClient());
    ProStru *record = recordAt(lock.table(), index);
    return record ? recordBaseName(record) : nullptr;
}

int32_t SORVIK_CALL GetProcessPermitExeCountAt(int32_t index) {
    TableLock lock(processClient());
    const ProStru *record = recordAt(lock.table(), index);
    return record ? record->permitExeCount : -1;
}

int32_t SORVIK_CALL GetProcessMinExeCountAt(int32_t index) {
    TableLock lock(processClient());
    const ProStru *record = recordAt(lock.table(), index);
    return record ? record->minExeCount : -1;
}

}  // extern "C"
