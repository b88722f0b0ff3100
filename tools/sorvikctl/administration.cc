// add, modify and delete: the library's result code as the exit status,
// and in words what it means for this record.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "file_state.h"
#include "records.h"
#include "site.h"

namespace sorvikctl {
namespace {

std::string copies(int32_t count, const std::string &name) {
    if (count == 1) return "1 copy of " + name + " is running";
    return std::to_string(count) + " copies of " + name + " are running";
}

// The running count the library recounted before it refused; it stays in the table.
int32_t recounted(const std::string &name, bool wholeName) {
    const auto record = findRecord(name, wholeName);
    return record ? record->fields.exeCount : 0;
}

// SORVIK_NOT_SAVED in words: the library refuses to save a table that would not
// read back, and a table that was loaded without its file's records.
void notSaved(const char *changed, int savedErrno) {
    const std::string record = savedErrno == EINVAL ? unsavableRecord() : "";
    const std::string unreadable = record.empty() ? unreadableReason() : "";
    if (!record.empty()) {
        std::fprintf(stderr,
                     "%s, but %s was not saved: %s, which the file cannot hold; nothing is saved until that record "
                     "is given a name of 1 to 99 characters without white space\n",
                     changed, kConfigPath, record.c_str());
    } else if (!unreadable.empty()) {
        std::fprintf(stderr,
                     "%s in the shared table, but %s was not saved: %s (%s). The table was loaded without its "
                     "records, so no change is saved to it until every program using Sorvik has ended and the "
                     "file can be read\n",
                     changed, kConfigPath, unreadable.c_str(), std::strerror(savedErrno));
    } else {
        std::fprintf(stderr,
                     "%s, but %s could not be written: %s; the change is in the shared table and will be saved "
                     "with the next change that can be written\n",
                     changed, kConfigPath, std::strerror(savedErrno));
    }
}

int report(int32_t result, int savedErrno, const std::string &done, const std::string &refused,
           const std::string &missing, const char *changed) {
    switch (result) {
    case SORVIK_DONE:
        std::printf("%s\n", done.c_str());
        break;
    case SORVIK_COPIES_RUN:
        std::fprintf(stderr, "refused: %s\n", refused.c_str());
        break;
    case SORVIK_NO_RECORD:
        std::fprintf(stderr, "%s\n", missing.c_str());
        break;
    case SORVIK_NOT_SAVED:
        notSaved(changed, savedErrno);
        break;
    default:
        std::fprintf(stderr, "the library answered %d, which this sorvikctl does not know\n", result);
        return 70;  // EX_SOFTWARE
    }
    return result;
}

// Why running copies refuse a permit; a negative permit allows none, as 0 does.
std::string tooMany(int32_t count, const std::string &name, int32_t permit) {
    if (permit <= 0) return copies(count, name) + ", and none is permitted";
    return copies(count, name) + ", more than the " + std::to_string(permit) + " permitted";
}

std::string limits(int32_t min, int32_t permit) {
    return "min " + std::to_string(min) + ", permit " + std::to_string(permit);
}

}  // namespace

int addRecord(const std::string &name, int32_t min, int32_t permit, int32_t a, int32_t b) {
    const bool existed = findRecord(name, true).has_value();
    errno = 0;
    const int32_t result = addOneProcess(name.c_str(), min, permit, a, b);
    const int savedErrno = errno;
    const std::string settings = limits(min, permit) + ", A " + std::to_string(a) + ", B " + std::to_string(b);
    const std::string reason = unstorableReason(name);
    const std::string missing = reason.empty() ? "the table is full (" + std::to_string(SORVIK_MAX_RECORDS) + " records)"
                                               : "the name cannot be stored: " + reason;
    return report(result, savedErrno, (existed ? "updated " : "added ") + name + ": " + settings,
                  tooMany(recounted(name, true), name, permit),
                  missing, existed ? "updated" : "added");
}

int modifyRecord(const std::string &name, int32_t min, int32_t permit) {
    errno = 0;
    const int32_t result = ModifyOneProcess(name.c_str(), min, permit);
    const int savedErrno = errno;
    return report(result, savedErrno, "changed " + name + ": " + limits(min, permit),
                  tooMany(recounted(name, false), name, permit),
                  "no record named " + name, "changed");
}

int deleteRecord(const std::string &name) {
    errno = 0;
    const int32_t result = DeleteOneProcess(name.c_str());
    const int savedErrno = errno;
    return report(result, savedErrno, "deleted " + name, copies(recounted(name, false), name),
                  "no record named " + name, "deleted");
}

}  // namespace sorvikctl
