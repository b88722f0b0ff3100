#include "listing.h"

#include <algorithm>
#include <cstdio>

#include "utf8_text.h"

namespace sorvikctl {
namespace {

// Control characters would break the columns; programs may leave any bytes
// in their message.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

struct Column {
    std::string title;
    bool rightAligned;
};

// Columns padded to their widest cell; the last one is not padded.
std::string alignedTable(const std::vector<Column> &columns, const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> widths;
    for (const Column &column : columns) widths.push_back(column.title.size());
    for (const auto &row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (size_t i = 0; i < cells.size(); ++i) {
            const std::string padding(widths[i] - cells[i].size(), ' ');
            const bool last = i + 1 == cells.size();
            out += columns[i].rightAligned ? padding + cells[i] : cells[i] + (last ? "" : padding);
            if (!last) out += "  ";
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    };
    std::vector<std::string> titles;
    for (const Column &column : columns) titles.push_back(column.title);
    std::string out = line(titles);
    for (const auto &row : rows) out += line(row);
    return out;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

}  // namespace

std::string activeAge(int32_t activeTime, std::time_t now) {
    if (activeTime == 0) return "never";
    if (activeTime == -1) return "reset";
    const long long seconds = static_cast<long long>(now) - activeTime;
    if (seconds < 0) return std::to_string(-seconds) + "s ahead";
    if (seconds < 60) return std::to_string(seconds) + "s ago";
    if (seconds < 3600) return std::to_string(seconds / 60) + "m ago";
    if (seconds < 86400) return std::to_string(seconds / 3600) + "h ago";
    return std::to_string(seconds / 86400) + "d ago";
}

std::string tableText(const std::vector<Record> &records, std::time_t now) {
    if (records.empty()) return "the table holds no records\n";
    const std::vector<Column> columns{{"#", true},      {"name", false},   {"min", true}, {"permit", true},
                                      {"running", true}, {"active", false}, {"A", true},   {"B", true},
                                      {"message", false}};
    std::vector<std::vector<std::string>> rows;
    for (const Record &r : records) {
        const ProStru &f = r.fields;
        rows.push_back({std::to_string(r.index), printable(r.name), std::to_string(f.minExeCount),
                        std::to_string(f.permitExeCount), std::to_string(f.exeCount), activeAge(f.activeTime, now),
                        std::to_string(f.userParamA), std::to_string(f.userParamB),
                        printable(fieldText(f.message, sizeof f.message))});
    }
    return alignedTable(columns, rows);
}

std::string tableJson(const std::vector<Record> &records, std::time_t now) {
    std::string out = "{\"records\": [";
    for (const Record &r : records) {
        const ProStru &f = r.fields;
        if (r.index > 0) out += ",";
        out += "\n  {\"index\": " + std::to_string(r.index) + ", \"name\": " + jsonString(r.name) +
               ", \"baseName\": " + jsonString(r.baseName) + ", \"min\": " + std::to_string(f.minExeCount) +
               ", \"permit\": " + std::to_string(f.permitExeCount) + ", \"running\": " + std::to_string(f.exeCount) +
               ", \"activeTime\": " + std::to_string(f.activeTime) +
               ", \"active\": " + jsonString(activeAge(f.activeTime, now)) +
               ", \"message\": " + jsonString(fieldText(f.message, sizeof f.message)) +
               ", \"userParamA\": " + std::to_string(f.userParamA) +
               ", \"userParamB\": " + std::to_string(f.userParamB) + "}";
    }
    return out + (records.empty() ? "]}\n" : "\n]}\n");
}

std::vector<_TASK_LIST> readTasks(bool controlledOnly) {
    std::vector<_TASK_LIST> tasks(SORVIK_MAX_TASKS);
    const int32_t count = controlledOnly ? GetControllableTaskList(tasks.data()) : GetTaskList(tasks.data());
    tasks.resize(static_cast<size_t>(std::clamp<int32_t>(count, 0, SORVIK_MAX_TASKS)));
    return tasks;
}

std::string tasksText(const std::vector<_TASK_LIST> &tasks, const std::string &none) {
    if (tasks.empty()) return none + "\n";
    const std::vector<Column> columns{{"pid", true}, {"window", false}, {"name", false}, {"title", false}};
    std::vector<std::vector<std::string>> rows;
    for (const _TASK_LIST &t : tasks)
        rows.push_back({std::to_string(t.processId), hex(t.window),
                        printable(fieldText(t.taskName, sizeof t.taskName)),
                        printable(fieldText(t.windowTitle, sizeof t.windowTitle))});
    return alignedTable(columns, rows);
}

std::string tasksJson(const std::vector<_TASK_LIST> &tasks) {
    std::string out = "{\"tasks\": [";
    for (size_t i = 0; i < tasks.size(); ++i) {
        const _TASK_LIST &t = tasks[i];
        out += std::string(i > 0 ? "," : "") + "\n  {\"pid\": " + std::to_string(t.processId) +
               ", \"window\": " + std::to_string(t.window) +
               ", \"name\": " + jsonString(fieldText(t.taskName, sizeof t.taskName)) +
               ", \"title\": " + jsonString(fieldText(t.windowTitle, sizeof t.windowTitle)) + "}";
    }
    return out + (tasks.empty() ? "]}\n" : "\n]}\n");
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : validUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace sorvikctl
