// The configuration file: five values a record, "name min permit a b".
#ifndef SORVIK_TABLE_CONFIG_FILE_H
#define SORVIK_TABLE_CONFIG_FILE_H

#include <cstddef>
#include <string>

#include "table/table.h"

namespace sorvik {

// Reads entries of a name and four or five whole numbers, separated by any
// white space, into slots 0 onward of a table that holds its defaults, and
// sets proCount. Reading ends quietly at the first entry with fewer than four
// values, at a name that fails readBackFault (too long for proName, over 99
// characters, or holding a NUL byte), or after the 350th entry; what came
// before stays loaded.
void parseConfig(const char *text, size_t size, ProTable *table);

// The text saveTable writes: one line a record in table order,
// "%s    %d\t%d   %d   %d" ended by CR LF on every platform.
std::string formatConfig(const ProTable &table);

// Reads the file at `path` into the table. 0 when the table now holds what
// the file holds, a missing file reading as an empty table; otherwise the
// system's error number telling why the file could not be read (a directory,
// FIFO, device or socket there included), the table then left empty.
int loadConfig(const char *path, ProTable *table);

// Replaces the file at `path` by the table's records (see
// platform::replaceFile). False, with the old file intact and `error`
// holding the system's error number, when the new file could not be written
// whole; also when a record in use holds a name that would not read back as
// itself (readBackFault, an unterminated field being too long), which would
// shift or lose every record after it (the error is then
// platform::invalidDataError()).
bool saveTable(const char *path, const ProTable &table, int *error = nullptr);

}  // namespace sorvik

#endif
