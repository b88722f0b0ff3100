// Child processes for the tests on Linux, and the scratch sites of every
// platform (support/scratch_site.h).
#ifndef SORVIK_TESTS_SUPPORT_SCRATCH_H
#define SORVIK_TESTS_SUPPORT_SCRATCH_H

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/scratch_site.h"

namespace sorvik::test {

// Sets a umask for the length of a scope, so that no mode a test checks
// comes from the umask it happened to run with.
struct Umask {
    explicit Umask(mode_t mask) : old(umask(mask)) {}
    ~Umask() { umask(old); }
    Umask(const Umask &) = delete;
    Umask &operator=(const Umask &) = delete;
    mode_t old;
};

// Forgets the region of that name in that run directory, so that the next
// attach builds it anew.
void removeRegion(const std::string &runDirectory, const std::string &name);

// A child process started by fork, running `body` and exiting with its result.
struct Child {
    pid_t pid = -1;
    int fromChild = -1;  // the child's end writes lines here
};
Child forkChild(const std::function<int(int toParent)> &body);
// Reads one line the child wrote, waiting at most `limit`; false on timeout or EOF.
bool readLine(const Child &child, std::string *line, std::chrono::milliseconds limit = std::chrono::seconds(10));
void sendLine(int fd, const std::string &line);
// Waits at most `limit` for the child to end; kills it when it has not. The
// exit status, or -1 when it was killed or died of a signal.
int waitChild(Child *child, std::chrono::milliseconds limit = std::chrono::seconds(10));
void killChild(Child *child);

// Where one standard stream of a started program leads.
struct Stream {
    enum Kind { kInherit, kNull, kParent, kFile, kDescriptor };
    static Stream inherit() { return Stream{kInherit, std::string(), -1}; }
    static Stream null() { return Stream{kNull, std::string(), -1}; }
    // The Child's pipe, read with readLine or from fromChild.
    static Stream toParent() { return Stream{kParent, std::string(), -1}; }
    // A file made (or cut to nothing) for the program to write, mode 0600.
    static Stream file(const std::string &path) { return Stream{kFile, path, -1}; }
    // A descriptor of the test's, such as a pipe's end.
    static Stream descriptor(int fd) { return Stream{kDescriptor, std::string(), fd}; }

    Kind kind = kInherit;
    std::string path;
    int fd = -1;
};

// A program to start as a child process, and the world it starts in.
struct Program {
    Program() = default;
    explicit Program(std::vector<std::string> command) : argv(std::move(command)) {}

    std::vector<std::string> argv;  // argv[0] the program's path (or a name, with searchPath)
    Stream in = Stream::null();
    Stream out = Stream::toParent();
    Stream err = Stream::inherit();
    bool searchPath = false;
    // On a terminal of its own: all three streams are the terminal, and the
    // Child's fromChild is its other side, to read what the program shows
    // and to write what it is typed.
    bool onTerminal = false;
    std::vector<std::string> unset;  // environment variables it starts without
    std::vector<std::pair<std::string, std::string>> environment;  // and with
    // Runs in the child just before the program replaces it.
    std::function<void()> beforeExec;
};
// Starts `program` as a child. The Child's pipe reaches the program only as
// a stream that leads to the parent; a program that cannot be started ends
// its child with 127.
Child startProgram(const Program &program);

// Waits at most `limit` for `pid`, a child of this process, to end; when it
// has not, kills it and fails the test, naming `what`. The exit status, or
// -1 when it died of a signal or had to be killed.
int awaitExit(pid_t pid, std::chrono::milliseconds limit, const std::string &what);
// Waits at most `limit` for `pid`, a child of this process, to stop (as by
// SIGSTOP); false, and a test failure naming `what`, when it has not.
bool awaitStop(pid_t pid, std::chrono::milliseconds limit, const std::string &what);

// Runs a program with arguments, waits at most `limit`, and gives its
// standard output; *status gets the exit status, or -1 on a signal or timeout.
std::string runProgram(const std::vector<std::string> &argv, int *status,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       const std::string &input = std::string());

}  // namespace sorvik::test

#endif
