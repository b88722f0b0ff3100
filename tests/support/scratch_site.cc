#include "support/scratch_site.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

namespace sorvik::test {
namespace {

std::atomic<int> gScratchCounter{0};

}  // namespace

#ifdef _WIN32

ScratchSite::ScratchSite() {
    const int serial = gScratchCounter.fetch_add(1);
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    std::string base(temp, length);
    if (!base.empty() && base.back() == '\\') base.pop_back();
    const std::string tag = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(serial);
    directory = base + "\\sorvik-test-" + tag;
    CreateDirectoryA(directory.c_str(), nullptr);
    configPath = directory + "\\Sorvik.sys";
    regionName = "sorvik_t" + tag;
}

ScratchSite::~ScratchSite() {
    // A file a test made read-only is deleted like any other.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::string path = directory + "\\" + found.cFileName;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(directory.c_str());
}

#else

ScratchSite::ScratchSite() {
    const int serial = gScratchCounter.fetch_add(1);
    char pattern[] = "/tmp/sorvik-test-XXXXXX";
    directory = mkdtemp(pattern);
    configPath = directory + "/Sorvik.sys";
    regionName = "sorvik_t" + std::to_string(getpid()) + "_" + std::to_string(serial);
    char runPattern[] = "/tmp/sorvik-run-XXXXXX";
    runDirectory = mkdtemp(runPattern);
    chmod(runDirectory.c_str(), 0755);
}

ScratchSite::~ScratchSite() {
    std::error_code ignored;
    std::filesystem::remove_all(runDirectory, ignored);
    std::filesystem::remove_all(directory, ignored);
}

#endif

void ScratchSite::writeConfig(const std::string &text) const { writeFile(configPath, text); }

std::string ScratchSite::readConfig() const { return readFile(configPath); }

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool finishesWithin(std::chrono::milliseconds limit, const std::function<void()> &body) {
    auto task = std::make_shared<std::packaged_task<void()>>(body);
    std::future<void> done = task->get_future();
    std::thread runner([task] { (*task)(); });
    if (done.wait_for(limit) != std::future_status::ready) {
        runner.detach();  // stuck for good; the caller fails
        return false;
    }
    // Joined, not left to end on its own: a thread still ending may hold the
    // allocator's locks (a sanitizer's allocator takes no care at fork), and
    // a child the caller forks next would start with them held for ever.
    runner.join();
    return true;
}

}  // namespace sorvik::test
