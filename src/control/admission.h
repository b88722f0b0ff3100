// Execution admission: the calls a controlled program makes about itself.
// All expect the table lock held; a null table reads as an empty one.
#ifndef SORVIK_CONTROL_ADMISSION_H
#define SORVIK_CONTROL_ADMISSION_H

#include "table/table.h"

namespace sorvik {

// Takes a slot of the first record whose baseName is `name` for the
// client's process: 0 when the process already holds one or the record has
// no free slot, else 1 (also when no record matches, taking nothing).
int32_t logIn(Client *client, ProTable *table, const char *name);

// Gives the process's slot back to the first matching record that counts a
// running copy: 1, or 0 when the process holds none or no such record. A
// process that held a slot holds none afterwards whenever some record has
// the name, whatever the answer.
int32_t logOut(Client *client, ProTable *table, const char *name);

// The three questions, asked of a record just recounted.
bool canExecute(const ProStru &record);       // a copy more may start
bool isExecuting(const ProStru &record);      // a copy runs
bool mustReExecute(const ProStru &record);    // fewer run than must

}  // namespace sorvik

#endif
