#include "control/admission.h"

#include "table/accessors.h"

#include <atomic>

namespace sorvik {
namespace {

// Written under the table lock; a call that starts while its process is
// ending finds no table and runs without the lock, so the flag is atomic.
bool holdsSlot(Client *client) { return std::atomic_ref<bool>(client->loggedIn).load(std::memory_order_relaxed); }
void setHoldsSlot(Client *client, bool holds) {
    std::atomic_ref<bool>(client->loggedIn).store(holds, std::memory_order_relaxed);
}

}  // namespace

int32_t logIn(Client *client, ProTable *table, const char *name) {
    if (holdsSlot(client)) return 0;
    const int32_t index = findByBaseName(table, name);
    if (index < 0) return 1;
    ProStru &record = table->records[index];
    if (record.exeCount >= record.permitExeCount) return 0;
    ++record.exeCount;
    setHoldsSlot(client, true);
    return 1;
}

int32_t logOut(Client *client, ProTable *table, const char *name) {
    if (!holdsSlot(client)) return 0;
    const int32_t first = findByBaseName(table, name);
    // A name that no record holds is no logout; one that some record holds
    // gives the slot up even when none of them counts a copy any more (a
    // reset or a recount took it away): kept, the slot would refuse every
    // later login of this process for the rest of its life.
    if (first >= 0) setHoldsSlot(client, false);
    for (int32_t index = first; index >= 0; index = findByBaseName(table, name, index + 1)) {
        ProStru &record = table->records[index];
        if (record.exeCount > 0) {
            --record.exeCount;
            return 1;
        }
    }
    return 0;
}

bool canExecute(const ProStru &record) { return record.exeCount < record.permitExeCount; }
bool isExecuting(const ProStru &record) { return record.exeCount > 0; }
bool mustReExecute(const ProStru &record) { return record.exeCount < record.minExeCount; }

}  // namespace sorvik
