#include "support/scratch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace sorvik::test {
namespace {

bool waitReadable(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

enum class Waited { reported, timedOut, noChild };

// Polls at most `limit` for what waitpid with `flags` reports of `pid`;
// *raw gets the status it reports.
Waited waitFor(pid_t pid, std::chrono::milliseconds limit, int flags, int *raw) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t done = waitpid(pid, raw, WNOHANG | flags);
        if (done == pid) return Waited::reported;
        if (done < 0) return Waited::noChild;
        if (std::chrono::steady_clock::now() > deadline) return Waited::timedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Kills a child that took too long, and collects it.
void killAndCollect(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int waitPid(pid_t pid, std::chrono::milliseconds limit) {
    int raw = 0;
    const Waited waited = waitFor(pid, limit, 0, &raw);
    if (waited == Waited::timedOut) killAndCollect(pid);
    return waited == Waited::reported ? statusOf(raw) : -1;
}

}  // namespace

void removeRegion(const std::string &runDirectory, const std::string &name) {
    unlink((runDirectory + "/" + name).c_str());
    unlink((runDirectory + "/" + name + ".lock").c_str());
}

Child forkChild(const std::function<int(int toParent)> &body) {
    int pipeFds[2];
    // The child's end stays open across exec: a child may exec a program
    // that writes to it.
    if (pipe(pipeFds) != 0) std::abort();
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        close(pipeFds[0]);
        _exit(body(pipeFds[1]));
    }
    close(pipeFds[1]);
    fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    child.fromChild = pipeFds[0];
    return child;
}

bool readLine(const Child &child, std::string *line, std::chrono::milliseconds limit) {
    line->clear();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(child.fromChild, left)) return false;
        char c;
        if (read(child.fromChild, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line->push_back(c);
    }
}

void sendLine(int fd, const std::string &line) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) < 0) {
    }
}

int waitChild(Child *child, std::chrono::milliseconds limit) {
    const int status = waitPid(child->pid, limit);
    if (child->fromChild >= 0) close(child->fromChild);
    child->fromChild = -1;
    child->pid = -1;
    return status;
}

void killChild(Child *child) {
    if (child->pid > 0) kill(child->pid, SIGKILL);
    waitChild(child, std::chrono::seconds(10));
}

namespace {

// In a child about to exec: makes `target` (0, 1 or 2) what `stream` says.
void redirect(const Stream &stream, int target, int toParent) {
    int fd = -1;
    switch (stream.kind) {
    case Stream::kInherit:
        return;
    case Stream::kNull:
        fd = open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
        break;
    case Stream::kParent:
        fd = toParent;
        break;
    case Stream::kFile:
        fd = open(stream.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        break;
    case Stream::kDescriptor:
        fd = stream.fd;
        break;
    }
    if (fd >= 0 && fd != target) dup2(fd, target);
}

}  // namespace

Child startProgram(const Program &program) {
    std::vector<char *> argv;
    for (const std::string &word : program.argv) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    auto run = [&program, &argv](int toParent) -> int {
        redirect(program.in, 0, toParent);
        redirect(program.out, 1, toParent);
        redirect(program.err, 2, toParent);
        if (toParent > 2) close(toParent);
        for (const std::string &name : program.unset) unsetenv(name.c_str());
        for (const auto &[name, value] : program.environment) setenv(name.c_str(), value.c_str(), 1);
        if (program.beforeExec) program.beforeExec();
        if (program.searchPath)
            execvp(argv[0], argv.data());
        else
            execv(argv[0], argv.data());
        return 127;
    };
    if (!program.onTerminal) return forkChild(run);
    Child child;
    child.pid = forkpty(&child.fromChild, nullptr, nullptr, nullptr);
    if (child.pid == 0) _exit(run(-1));
    return child;
}

int awaitExit(pid_t pid, std::chrono::milliseconds limit, const std::string &what) {
    int raw = 0;
    const Waited waited = waitFor(pid, limit, 0, &raw);
    if (waited != Waited::timedOut) return waited == Waited::reported ? statusOf(raw) : -1;
    ADD_FAILURE() << what << " did not end within " << limit.count() << " ms; killed";
    killAndCollect(pid);
    return -1;
}

bool awaitStop(pid_t pid, std::chrono::milliseconds limit, const std::string &what) {
    int raw = 0;
    if (waitFor(pid, limit, WUNTRACED, &raw) == Waited::reported && WIFSTOPPED(raw)) return true;
    ADD_FAILURE() << what << " did not stop within " << limit.count() << " ms";
    return false;
}

std::string runProgram(const std::vector<std::string> &argv, int *status, std::chrono::milliseconds limit,
                       const std::string &input) {
    int in[2];
    // Close-on-exec: only the child's standard input is its copy of the read end.
    if (pipe2(in, O_CLOEXEC) != 0) std::abort();
    Program program{argv};
    program.in = Stream::descriptor(in[0]);
    Child child = startProgram(program);
    close(in[0]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    }
    close(in[1]);
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(child.fromChild, left)) break;
        const ssize_t got = read(child.fromChild, buffer, sizeof buffer);
        if (got <= 0) break;
        output.append(buffer, static_cast<size_t>(got));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int result = waitChild(&child, left.count() > 0 ? left : std::chrono::milliseconds(1));
    if (status) *status = result;
    return output;
}

}  // namespace sorvik::test
