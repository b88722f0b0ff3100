#include "control/liveness.h"

#include "table/accessors.h"
#include "table/names.h"

namespace sorvik {
namespace {

// Runs `change` on every matching record as one change, so that a process
// that dies halfway leaves no record half-written.
template <typename Change>
void forEachMatch(Client *client, ProTable *table, const char *name, Change change) {
    int32_t index = findByBaseName(table, name);
    if (index < 0) return;
    beginChange(client);
    for (; index >= 0; index = findByBaseName(table, name, index + 1)) change(table->records[index]);
    endChange(client);
}

}  // namespace

void stampActive(Client *client, ProTable *table, const char *name, Clock clock) {
    forEachMatch(client, table, name, [clock](ProStru &record) { record.activeTime = static_cast<int32_t>(clock()); });
}

void leaveMessage(Client *client, ProTable *table, const char *name, const char *text) {
    if (!text) return;
    forEachMatch(client, table, name,
                 [text](ProStru &record) { copyBounded(record.message, sizeof record.message, text); });
}

void resetRunState(Client *client, ProTable *table, const char *name) {
    forEachMatch(client, table, name, [](ProStru &record) {
        record.activeTime = -1;
        record.message[0] = '\0';
        record.exeCount = 0;
    });
}

}  // namespace sorvik
