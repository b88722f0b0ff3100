// sorvikctl metrics: the table in the Prometheus text exposition format
// (0.0.4), for node_exporter's textfile collector or any scraper.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "commands.h"
#include "records.h"
#include "utf8_text.h"

namespace sorvikctl {
namespace {

// A label value: valid UTF-8, with the three characters the format
// reserves escaped.
std::string labelValue(const std::string &bytes) {
    std::string out;
    for (const char c : validUtf8(bytes)) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

struct Metric {
    const char *name;
    const char *help;
    // The sample's value for a record, or false when it has none.
    bool (*value)(const ProStru &, long long *);
};

const Metric kPerRecord[] = {
    {"sorvik_running_copies", "Copies of the program running, recounted from the process list.",
     [](const ProStru &f, long long *v) { return *v = f.exeCount, true; }},
    {"sorvik_permitted_copies", "Copies of the program that may run at once.",
     [](const ProStru &f, long long *v) { return *v = f.permitExeCount, true; }},
    {"sorvik_minimum_copies", "Copies of the program that must run.",
     [](const ProStru &f, long long *v) { return *v = f.minExeCount, true; }},
    {"sorvik_below_minimum", "1 when fewer copies run than the minimum, so that a copy must be started, else 0.",
     [](const ProStru &f, long long *v) { return *v = f.exeCount < f.minExeCount ? 1 : 0, true; }},
    // 0 is "never reported", -1 "reset": neither is a time.
    {"sorvik_last_active_timestamp_seconds", "When the program last reported itself alive, in seconds since 1970.",
     [](const ProStru &f, long long *v) { return *v = f.activeTime, f.activeTime > 0; }},
};

std::string exposition(const std::vector<Record> &records) {
    std::string text;
    text += "# HELP sorvik_records Records in the table of controlled programs.\n";
    text += "# TYPE sorvik_records gauge\n";
    text += "sorvik_records " + std::to_string(records.size()) + "\n";
    for (const Metric &metric : kPerRecord) {
        text += std::string("# HELP ") + metric.name + " " + metric.help + "\n";
        text += std::string("# TYPE ") + metric.name + " gauge\n";
        for (const Record &record : records) {
            long long value = 0;
            if (!metric.value(record.fields, &value)) continue;
            // The index keeps the series apart when two records share a name.
            text += std::string(metric.name) + "{name=\"" + labelValue(record.name) + "\",index=\"" +
                    std::to_string(record.index) + "\"} " + std::to_string(value) + "\n";
        }
    }
    return text;
}

#ifndef _WIN32
bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Replaces `path` with `text` whole: a reader sees the old file or the new
// one, never a part. The temporary lies beside the target under a name the
// textfile collector passes over (it reads *.prom only).
bool replaceFile(const std::string &requested, const std::string &text) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    // A link stays a link: the file it leads to is the one replaced.
    const fs::path path = fs::is_symlink(requested, ignored) ? fs::canonical(requested, ignored) : fs::path(requested);
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    // The collector runs as another user: the file is readable by all, as
    // the table's figures are no secret.
    struct stat old {};
    const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) ok = false, saved = errno;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false, saved = errno;
    if (!ok) {
        unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    // The rename itself lasts only once the directory is on disk.
    const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
#endif

}  // namespace

int writeMetrics(const std::string &outputPath) {
    // Every process holds at least itself: no process seen means no list.
    if (RefreshAllSorvikStr() == 0) {
        std::fprintf(stderr, "sorvikctl metrics: the running processes could not be listed; nothing written\n");
        return kNo;
    }
    const std::string text = exposition(readRecords());
    if (outputPath.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? kYes : kNo;
    }
#ifdef _WIN32
    std::fprintf(stderr, "sorvikctl metrics: --output is not available on this system\n");
    return kNo;
#else
    if (!replaceFile(outputPath, text)) {
        std::fprintf(stderr, "sorvikctl metrics: %s could not be written: %s; it is left as it was\n",
                     outputPath.c_str(), std::strerror(errno));
        return kNo;
    }
    return kYes;
#endif
}

}  // namespace sorvikctl
