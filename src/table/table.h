// The shared table and one process's attachment to it.
#ifndef SORVIK_TABLE_TABLE_H
#define SORVIK_TABLE_TABLE_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "sorvik.h"

namespace sorvik {

constexpr int32_t kMaxRecords = SORVIK_MAX_RECORDS;
constexpr int32_t kPresetValue = 100;

// The shared region: 53204 bytes, no pointers, mapped at any address.
struct ProTable {
    int32_t proCount;
    ProStru records[kMaxRecords];
};
static_assert(sizeof(ProTable) == 53204, "ProTable is 53204 bytes");
static_assert(offsetof(ProTable, records) == 4, "records follow proCount");

// Where a library build keeps its state: the configuration file, the name
// of the shared region and the directory that holds the region (on POSIX;
// its group is the set of users who share the table). Fixed when the library
// is built.
struct Site {
    const char *configPath;
    const char *regionName;
    const char *runDirectory;
};

// The shared scratch area beside the table: a copy of the table taken before
// a change of several fields, so that a change cut short by its process's
// death can be rolled back by the next holder of the lock; and why the table
// could not be loaded from its file.
struct Journal {
    uint32_t pending;
    // The system's error number for why the configuration file could not be
    // read when the table was built; 0 when the table started from its
    // content, or empty because there was no file. While it is set the table
    // does not hold the file's records, so no save may replace them; it
    // lasts until the region is built afresh.
    int32_t loadError;
    ProTable before;
};

// One process's attachment. The exported functions use the one that the
// loader attached; tests hold several to act as several processes.
struct Client {
    platform::SharedRegion region;
    ProTable *table = nullptr;  // null when the region could not be attached
    Journal *journal = nullptr;
    const char *configPath = nullptr;
    bool loggedIn = false;  // this process holds an execution slot
    int attachError = 0;    // why the region could not be attached, as the platform told it
    // Calls of this process inside a TableLock, and whether the attachment
    // is being dropped; read and written atomically.
    int32_t callsInProgress = 0;
    uint32_t detaching = 0;
};

// Attaches `client` to the site's region; the first attach of a region fills
// the defaults and reads the configuration file. False, with `client` left
// detached and its attachError set, when the region cannot be created,
// opened or mapped, or is refused.
bool attach(Client *client, const Site &site);
// Drops the attachment. Calls that begin afterwards act as on a client with
// no region; when a call is still in progress on another thread (the process
// is ending under it), the region is left in place for the system to reclaim
// with the process, so that the call keeps what it uses to the end.
void detach(Client *client);

// In a forked child: the parent's calls in progress and its execution slot
// belong to the parent; the child shares only the attachment.
void forgetParentCalls(Client *client);

// Sets every slot to its default and proCount to 0.
void fillDefaults(ProTable *table, const uint8_t hostAddr[4]);

// Holds the region's lock for one exported call. A client without a region
// holds nothing; the call then answers as on an empty table.
class TableLock {
  public:
    explicit TableLock(Client *client);
    ~TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    // The locked table, or null when there is none to use.
    ProTable *table() const { return held_ ? client_->table : nullptr; }

  private:
    Client *client_;
    bool held_ = false;
};

// Brackets a change of several fields: until endChange, a holder of the lock
// that finds the changer dead restores the table as it was at beginChange.
void beginChange(Client *client);
void endChange(Client *client);

// Restores what a dead holder of the lock left half-changed.
void repairAfterDeath(Client *client);

}  // namespace sorvik

#endif
