// The commands of sorvikctl, each answering with its exit status.
#ifndef SORVIKCTL_COMMANDS_H
#define SORVIKCTL_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace sorvikctl {

// Exit statuses besides the library's result codes 0 to 3.
constexpr int kYes = 0;
constexpr int kNo = 1;
constexpr int kNoSuchRecord = 2;
constexpr int kUsage = 64;  // EX_USAGE
constexpr int kNotAttached = 69;  // EX_UNAVAILABLE: this process could not get the shared table

// 0 when this process has the shared table; else says on stderr what is
// wrong and how to mend it, and answers kNotAttached.
int checkAttachment();

// run gives back its command's status, which may be anything from 0 to 125,
// 126 or 127 when it cannot be run, or 128 + N (at most 192) when signal N
// ended it. Its own refusal lies above all of those and below 255 (exit(-1),
// ssh), clear of systemd's 200 to 245, so that a unit can name it in
// SuccessExitStatus= or RestartPreventExitStatus=.
constexpr int kNoSlot = 250;
constexpr int kRunFailed = 125;  // as env(1) and timeout(1): the launcher itself failed

int listTable(bool json);
int listTasks(bool controlledOnly, bool json);
// Redraws the table every `interval` seconds, `count` times (0: until
// interrupted).
int watchTable(int count, double interval);

int addRecord(const std::string &name, int32_t min, int32_t permit, int32_t a, int32_t b);
int modifyRecord(const std::string &name, int32_t min, int32_t permit);
int deleteRecord(const std::string &name);

enum class Question { canExecute, isExecuting, mustReExecute };
int ask(Question question, const std::string &name);

// Whether run waits for a slot, and at most how many seconds (0: no limit).
struct RunWait {
    bool enabled = false;
    double limit = 0;
};
// Takes a slot of `name`, runs `command` as a child while holding it, and
// gives it back when the child ends; the child's status, or kNoSlot.
int runCommand(const std::string &name, const RunWait &wait, const std::vector<std::string> &command);

// Writes the table in the Prometheus text format to standard output, or
// replaces `outputPath` with it whole when that is not empty.
int writeMetrics(const std::string &outputPath);

// From now on, says once on stderr who holds the table's lock when it has
// been held for a couple of seconds while this command runs.
void watchTheLock();

int reportActive(const std::string &name);
int leaveMessage(const std::string &name, const std::string &text);
int resetRunState(const std::string &name);

}  // namespace sorvikctl

#endif
