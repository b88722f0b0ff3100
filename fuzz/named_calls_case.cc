// The input: two bytes (little-endian) giving the length of a configuration
// text, that text, then operations, each an operation byte followed by the
// strings it takes, each a length byte and that many bytes. The calls run on
// a table of one client, in memory, as the exported boundary runs them;
// saves go to a directory that does not exist and fail at once.
#include <cstring>
#include <memory>
#include <vector>

#include "cases.h"
#include "census/recount.h"
#include "control/admission.h"
#include "control/liveness.h"
#include "control/recounted_calls.h"
#include "table/accessors.h"
#include "table/administration.h"
#include "table/config_file.h"
#include "table/names.h"

namespace sorvik::fuzz {
namespace {

const uint8_t kHost[4] = {192, 168, 7, 9};

struct Input {
    const uint8_t *at;
    const uint8_t *end;

    bool empty() const { return at >= end; }
    uint8_t byte() { return at < end ? *at++ : 0; }
    int32_t number() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(byte()) << (8 * i);
        return static_cast<int32_t>(value);
    }
    // A C string: an embedded NUL ends it early, as it would for a caller.
    std::string text() {
        size_t length = byte();
        if (length > static_cast<size_t>(end - at)) length = static_cast<size_t>(end - at);
        std::string s(reinterpret_cast<const char *>(at), length);
        at += length;
        return s;
    }
};

int64_t fixedClock() { return 1700000000; }

// What must hold after every call, whatever the calls and the table.
std::string checkTable(const ProTable &table, bool namesCorrupted) {
    if (table.proCount < 0 || table.proCount > kMaxRecords) return "proCount " + std::to_string(table.proCount);
    for (int32_t i = 0; i < kMaxRecords; ++i) {
        const ProStru &r = table.records[i];
        const std::string where = "record " + std::to_string(i) + ": ";
        if (memcmp(r.hostAddr, kHost, 4) != 0) return where + "hostAddr overwritten";
        if (r.presetValue != kPresetValue) return where + "presetValue overwritten";
        if (!memchr(r.message, '\0', sizeof r.message)) return where + "message unterminated";
        if (!namesCorrupted && !memchr(r.proName, '\0', sizeof r.proName)) return where + "name unterminated";
    }
    return std::string();
}

}  // namespace

std::string checkNamedCalls(const uint8_t *data, size_t size) {
    Input in{data, data + size};
    size_t configLength = in.byte();
    configLength |= static_cast<size_t>(in.byte()) << 8;
    if (configLength > static_cast<size_t>(in.end - in.at)) configLength = static_cast<size_t>(in.end - in.at);

    // On the heap and exactly their size, so that a write past either is
    // caught by the address sanitizer.
    auto table = std::make_unique<ProTable>();
    auto journal = std::make_unique<Journal>();
    fillDefaults(table.get(), kHost);
    parseConfig(reinterpret_cast<const char *>(in.at), configLength, table.get());
    in.at += configLength;
    Client client;
    client.table = table.get();
    client.journal = journal.get();
    client.configPath = "/nonexistent-sorvik-fuzz-directory/Sorvik.sys";

    TaskSnapshot snapshot;
    snapshot.taken = true;
    bool countCorrupted = false, namesCorrupted = false;
    ProTable *t = table.get();
    while (!in.empty()) {
        const uint8_t op = in.byte() % 16;
        const std::string name = in.text();
        const char *n = name.c_str();
        switch (op) {
            case 0:
                logIn(&client, t, n);
                break;
            case 1:
                logOut(&client, t, n);
                break;
            case 2:
            case 3:
            case 4: {
                static constexpr RecountedCall::Kind kQuestions[] = {
                    RecountedCall::canExecute, RecountedCall::isExecuting, RecountedCall::mustReExecute};
                const RecountedCall::Kind question = kQuestions[op - 2];
                const int32_t answer = actOnRecounted(&client, t, {question, n}, snapshot);
                const int32_t index = findByBaseName(t, n);
                if (index < 0) {
                    if (answer != (question == RecountedCall::canExecute ? 1 : 0))
                        return "an unknown name answered " + std::to_string(answer);
                    break;
                }
                const ProStru &r = t->records[index];
                int32_t running = 0;
                for (const Task &task : snapshot.tasks) running += compareNames(r.proName, task.taskName, sizeof r.proName) == 0;
                if (r.exeCount != running) return "a recount disagrees with the snapshot";
                const bool expected = question == RecountedCall::canExecute   ? r.exeCount < r.permitExeCount
                                      : question == RecountedCall::isExecuting ? r.exeCount > 0
                                                                               : r.exeCount < r.minExeCount;
                if (answer != (expected ? 1 : 0)) return "an answer disagrees with the recounted record";
                break;
            }
            case 5:
                leaveMessage(&client, t, n, in.text().c_str());
                break;
            case 6:
                stampActive(&client, t, n, fixedClock);
                break;
            case 7:
                resetRunState(&client, t, n);
                break;
            case 8: {
                const RecordSettings settings{in.number(), in.number(), in.number(), in.number()};
                const int32_t result = actOnRecounted(&client, t, {RecountedCall::add, n, settings}, snapshot);
                if (result < kDone || result > kNotSaved || result == kDone) return "addition answered " + std::to_string(result);
                break;
            }
            case 9: {
                const int32_t minimum = in.number(), permit = in.number();
                actOnRecounted(&client, t, {RecountedCall::modify, n, {minimum, permit, 0, 0}}, snapshot);
                break;
            }
            case 10: {
                const int32_t before = recordsInUse(t);
                const bool known = findByBaseName(t, n) >= 0;
                const int32_t result = actOnRecounted(&client, t, {RecountedCall::remove, n}, snapshot);
                if (!known && result != kNoRecord) return "a deletion of no record answered " + std::to_string(result);
                if (known && result != kCopiesRun && recordsInUse(t) != before - 1)
                    return "a deletion did not remove one record";
                break;
            }
            case 11: {
                const int32_t index = in.number() % 400;
                ProStru *r = recordAt(t, index);
                if ((r != nullptr) != (index >= 0 && index < recordsInUse(t))) return "recordAt outside the table";
                if (r) {
                    const char *base = recordBaseName(r);
                    if (base < r->proName || base > r->proName + sizeof r->proName)
                        return "base name outside its record";
                }
                break;
            }
            case 12: {
                Task task{};
                copyBounded(task.taskName, sizeof task.taskName, n);
                if (snapshot.tasks.size() < SORVIK_MAX_TASKS + 20) snapshot.tasks.push_back(task);
                break;
            }
            case 13:
                recountAll(t, snapshot);
                break;
            case 14:
                // A client wrote through the pointers it was handed: any
                // proCount, or a name filling its whole field.
                if (name.size() % 2) {
                    t->proCount = in.number();
                    countCorrupted = true;
                } else {
                    ProStru &r = t->records[in.byte() % kMaxRecords];
                    memset(r.proName, name.empty() ? 'x' : name[0], sizeof r.proName);
                    namesCorrupted = true;
                }
                break;
            default:
                findByBaseName(t, n, in.number());
                break;
        }
        if (countCorrupted) {
            // Every call must still stay inside the table; the count itself
            // is the client's own doing.
            if (t->proCount >= 0 && t->proCount <= kMaxRecords) countCorrupted = false;
            continue;
        }
        const std::string failure = checkTable(*t, namesCorrupted);
        if (!failure.empty()) return failure + " (after operation " + std::to_string(op) + ")";
    }
    return std::string();
}

}  // namespace sorvik::fuzz
