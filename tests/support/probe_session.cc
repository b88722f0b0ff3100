#include "support/probe_session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace sorvik::test {

const std::string kProbe = SORVIK_PROBE;
const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;
const std::string kSiteRegion = SORVIK_TEST_SITE_REGION;
const std::string kSiteRunDir = SORVIK_TEST_SITE_RUN_DIR;
namespace {
const std::string kSleeper = SORVIK_SLEEPER;
}

std::string uniqueName(const std::string &base) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%05x", static_cast<unsigned>(getpid()) & 0xfffffu);
    if (base.size() <= 6) return base + tag;
    return base.substr(0, base.size() - 5) + tag;
}

std::string probe(const std::vector<std::string> &commands) {
    std::vector<std::string> argv{kProbe};
    argv.insert(argv.end(), commands.begin(), commands.end());
    int status = 0;
    std::string out = runProgram(argv, &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

ProbeSession::ProbeSession(const std::vector<std::string> &commands, const std::vector<std::string> &launch) {
    int input[2];
    // Close-on-exec, so that processes started later do not keep the probe's
    // input open after the session ends.
    if (pipe2(input, O_CLOEXEC) != 0) std::abort();
    Program program;
    program.argv = launch.empty() ? std::vector<std::string>{kProbe} : launch;
    program.argv.insert(program.argv.end(), commands.begin(), commands.end());
    program.argv.push_back("serve");
    program.in = Stream::descriptor(input[0]);
    child_ = startProgram(program);
    close(input[0]);
    toChild_ = input[1];
    std::string line;
    while (readLine(child_, &line)) {
        if (line == "serving") return;
        started_ += line + "\n";
    }
    ADD_FAILURE() << "the probe did not start serving: " << started_;
}

ProbeSession::~ProbeSession() {
    if (toChild_ >= 0) close(toChild_);
    if (child_.pid > 0) waitChild(&child_);
}

std::string ProbeSession::ask(const std::string &command) {
    sendLine(toChild_, command);
    std::string line;
    if (!readLine(child_, &line)) ADD_FAILURE() << "no answer to " << command;
    return line;
}

void ProbeSession::kill() { killChild(&child_); }

pid_t startProcess(const std::string &program, const std::vector<std::string> &args) {
    Program started;
    started.argv = {program};
    started.argv.insert(started.argv.end(), args.begin(), args.end());
    started.out = Stream::null();
    Child child = startProgram(started);
    close(child.fromChild);
    return child.pid;
}

void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    awaitExit(pid, std::chrono::seconds(10), "a process killed with SIGKILL");
}

namespace {

// A started child runs its own program once the command line of one of its
// threads names it (the first thread may have ended already).
void awaitExec(pid_t pid, const std::string &program) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (int i = 0; i < 500; ++i) {
        std::error_code error;
        for (const auto &task : std::filesystem::directory_iterator(tasks, error))
            if (readFile(task.path().string() + "/cmdline").find(program) != std::string::npos) return;
        usleep(10000);
    }
    ADD_FAILURE() << program << " did not start";
}

}  // namespace

Sleepers::Sleepers() {
    char pattern[] = "/tmp/sorvik-sleepers-XXXXXX";
    directory_ = mkdtemp(pattern);
}

Sleepers::~Sleepers() {
    for (pid_t pid : running_) stopProcess(pid);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

pid_t Sleepers::start(const std::string &fileName, const std::vector<std::string> &args) {
    const std::string copy = path(fileName);
    if (!std::filesystem::exists(copy)) std::filesystem::copy_file(kSleeper, copy);
    const pid_t pid = startProcess(copy, args);
    running_.push_back(pid);
    awaitExec(pid, copy);
    return pid;
}

pid_t Sleepers::startScript(const std::string &fileName, const std::string &body) {
    const std::string script = path(fileName);
    // A FIFO beside the script that nobody writes: `read line < "$0.fifo"`
    // waits on it forever without forking, so the script is one process.
    mkfifo((script + ".fifo").c_str(), 0600);
    writeFile(script, "#!/bin/sh\n" + body + "\n");
    chmod(script.c_str(), 0755);
    const pid_t pid = startProcess(script);
    running_.push_back(pid);
    awaitExec(pid, script);
    return pid;
}

void Sleepers::stop(pid_t pid) {
    stopProcess(pid);
    running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
}

}  // namespace sorvik::test
