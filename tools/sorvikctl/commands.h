// The commands of sorvikctl, each answering with its exit status.
#ifndef SORVIKCTL_COMMANDS_H
#define SORVIKCTL_COMMANDS_H

#include <cstdint>
#include <string>

namespace sorvikctl {

// Exit statuses besides the library's result codes 0 to 3.
constexpr int kYes = 0;
constexpr int kNo = 1;
constexpr int kNoSuchRecord = 2;
constexpr int kUsage = 64;  // EX_USAGE

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

// From now on, says once on stderr who holds the table's lock when it has
// been held for a couple of seconds while this command runs.
void watchTheLock();

int reportActive(const std::string &name);
int leaveMessage(const std::string &name, const std::string &text);
int resetRunState(const std::string &name);

}  // namespace sorvikctl

#endif
