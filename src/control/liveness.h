// Liveness reports and messages. Each acts on every record whose baseName
// is `name` and expects the table lock held; a null name or text changes
// nothing.
#ifndef SORVIK_CONTROL_LIVENESS_H
#define SORVIK_CONTROL_LIVENESS_H

#include "platform/platform.h"
#include "table/table.h"

namespace sorvik {

using Clock = int64_t (*)();

// Stamps activeTime with the clock, read anew for each record.
void stampActive(Client *client, ProTable *table, const char *name, Clock clock = platform::currentTime);

// Leaves `text` as the message, cut to the field's 19 characters.
void leaveMessage(Client *client, ProTable *table, const char *name, const char *text);

// Clears the run-time state: activeTime -1, message empty, exeCount 0.
void resetRunState(Client *client, ProTable *table, const char *name);

}  // namespace sorvik

#endif
