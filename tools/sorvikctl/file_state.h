// What sorvikctl can tell of why the library did not save: the
// configuration file as this user finds it, and a record whose name the file
// cannot hold.
#ifndef SORVIKCTL_FILE_STATE_H
#define SORVIKCTL_FILE_STATE_H

#include <string>

namespace sorvikctl {

// Why the configuration file cannot be read by this user, the way the
// library reads it; "" when it can, or when there is none (an empty table).
// The table is shared only among processes of one user, so a file that this
// user cannot read could not be read when the table was loaded either,
// unless it changed since.
std::string unreadableReason();

// The first record in use whose name would not read back from the file
// (written into the live record through the pointer a program was handed),
// described for people; "" when there is none.
std::string unsavableRecord();

}  // namespace sorvikctl

#endif
