#include <atomic>
#include <cstring>

#include "table/config_file.h"
#include "table/table.h"

namespace sorvik {
namespace {

struct BuildContext {
    const char *configPath;
    bool hostKnown = false;  // `host` holds the address resolved for this attach
    bool hostWanted = false;
    uint8_t host[4] = {};
};

// Runs in the attach that finds the region unused, before anyone else can
// see it: defaults in every slot, then the configuration file. A file that
// exists but cannot be read leaves the table empty and says so, so that no
// save wipes the records the table never saw. The host address is never
// resolved here, where every other attach waits for the resolver: without it
// the build is given up, to be made again once the address is known.
bool buildTable(void *context, platform::SharedRegion *region) {
    auto *build = static_cast<BuildContext *>(context);
    if (!build->hostKnown) {
        build->hostWanted = true;
        return false;
    }
    auto *table = static_cast<ProTable *>(region->table);
    fillDefaults(table, build->host);
    const int error = loadConfig(build->configPath, table);
    static_cast<Journal *>(region->journal)->loadError = error;
    return true;
}

std::atomic_ref<uint32_t> pendingFlag(Journal *journal) { return std::atomic_ref<uint32_t>(journal->pending); }

}  // namespace

void fillDefaults(ProTable *table, const uint8_t hostAddr[4]) {
    table->proCount = 0;
    for (ProStru &record : table->records) {
        std::memset(&record, 0, sizeof record);
        std::memcpy(record.hostAddr, hostAddr, sizeof record.hostAddr);
        record.userParamA = -1;
        record.presetValue = kPresetValue;
    }
}

bool attach(Client *client, const Site &site) {
    *client = Client{};
    BuildContext context{site.configPath};
    // Only the attach that builds the region asks for the host address, and
    // asks between two tries, holding nothing another process waits for.
    bool attached = platform::openRegion(site.runDirectory, site.regionName, sizeof(ProTable), sizeof(Journal),
                                         buildTable, &context, &client->region, &client->attachError);
    if (!attached && context.hostWanted) {
        platform::hostAddress(context.host);
        context.hostKnown = true;
        attached = platform::openRegion(site.runDirectory, site.regionName, sizeof(ProTable), sizeof(Journal),
                                        buildTable, &context, &client->region, &client->attachError);
    }
    if (!attached) return false;
    client->table = static_cast<ProTable *>(client->region.table);
    client->journal = static_cast<Journal *>(client->region.journal);
    client->configPath = site.configPath;
    return true;
}

namespace {
// A call marks itself in progress before it looks at `detaching`, and the
// detach marks `detaching` before it counts the calls, both sequentially
// consistent: so either the call sees the detach and leaves the region
// alone, or the detach sees the call and leaves the region in place.
std::atomic_ref<int32_t> callsInProgress(Client *client) { return std::atomic_ref<int32_t>(client->callsInProgress); }
std::atomic_ref<uint32_t> detaching(Client *client) { return std::atomic_ref<uint32_t>(client->detaching); }
}  // namespace

void detach(Client *client) {
    detaching(client).store(1);
    if (callsInProgress(client).load() != 0) return;
    if (client->table) platform::closeRegion(&client->region);
    // Only what a call reads after it has seen `detaching` clear is
    // dropped; the rest may still be read by a call that starts now.
    client->table = nullptr;
    client->journal = nullptr;
}

void forgetParentCalls(Client *client) {
    callsInProgress(client).store(0);
    client->loggedIn = false;
}

TableLock::TableLock(Client *client) : client_(client) {
    callsInProgress(client).fetch_add(1);
    if (detaching(client).load() != 0 || !client->table) return;
    switch (platform::lockRegion(&client->region)) {
        case platform::LockResult::acquired:
            held_ = true;
            break;
        case platform::LockResult::ownerDied:
            held_ = true;
            repairAfterDeath(client);
            break;
        case platform::LockResult::failed:
            break;
    }
}

TableLock::~TableLock() {
    if (held_) platform::unlockRegion(&client_->region);
    callsInProgress(client_).fetch_sub(1);
}

void beginChange(Client *client) {
    std::memcpy(&client->journal->before, client->table, sizeof(ProTable));
    pendingFlag(client->journal).store(1, std::memory_order_release);
    // The change that follows must not be seen before the mark.
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void endChange(Client *client) { pendingFlag(client->journal).store(0, std::memory_order_release); }

void repairAfterDeath(Client *client) {
    // Restoring is idempotent, so a holder that dies while restoring leaves
    // the same work to the next one.
    if (pendingFlag(client->journal).load(std::memory_order_acquire) == 0) return;
    std::memcpy(client->table, &client->journal->before, sizeof(ProTable));
    endChange(client);
}

}  // namespace sorvik
