// The table and the task lists as text for people and as JSON for scripts.
#ifndef SORVIKCTL_LISTING_H
#define SORVIKCTL_LISTING_H

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace sorvikctl {

// The last liveness report as people read it: "never" (0), "reset" (-1),
// "12s ago", "5m ago", "3h ago", "2d ago".
std::string activeAge(int32_t activeTime, std::time_t now);

std::string tableText(const std::vector<Record> &records, std::time_t now);
std::string tableJson(const std::vector<Record> &records, std::time_t now);

std::vector<_TASK_LIST> readTasks(bool controlledOnly);
// `none` is what to say when the list is empty.
std::string tasksText(const std::vector<_TASK_LIST> &tasks, const std::string &none);
std::string tasksJson(const std::vector<_TASK_LIST> &tasks);

// `text` as a JSON string: the bytes as validUtf8 gives them, with quotes,
// backslashes and control characters escaped as JSON asks.
std::string jsonString(std::string_view text);

}  // namespace sorvikctl

#endif
