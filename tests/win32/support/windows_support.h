// Scratch sites, files and real child processes for the Windows tests. The
// tests themselves include no Windows header: what they need of the system
// is here.
#ifndef SORVIK_TESTS_WIN32_SUPPORT_WINDOWS_SUPPORT_H
#define SORVIK_TESTS_WIN32_SUPPORT_WINDOWS_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/scratch_site.h"
#include "table/table.h"

namespace sorvik::wintest {

using std::chrono::milliseconds;
constexpr milliseconds kPatience{10000};

// The scratch sites, files and bounded runs every platform's tests use.
using test::finishesWithin;
using test::readFile;
using test::ScratchSite;
using test::writeFile;

bool fileExists(const std::string &path);
bool copyFile(const std::string &from, const std::string &to);
// The names of the files in `directory`, sorted.
std::vector<std::string> filesIn(const std::string &directory);
bool makeDirectory(const std::string &path);
bool setReadOnly(const std::string &path, bool readOnly);

// Winsock for this process, as a caller of the library may set it up.
bool startWinsock();
void stopWinsock();
// The first IPv4 address of this host's name as Winsock resolves it; zeros
// when it cannot (Winsock not started, or no such name).
std::vector<uint8_t> resolvedHostAddress();

// The full path of this test program, and of a file beside it.
std::string besideThisProgram(const std::string &fileName);

// Holds a Windows object open for as long as it lives.
class Held {
  public:
    Held() = default;
    explicit Held(void *handle) : handle_(handle) {}
    ~Held();
    Held(Held &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Held &operator=(Held &&other) noexcept;
    bool valid() const { return handle_ != nullptr; }

  private:
    void *handle_ = nullptr;
};

// The file opened for reading with neither write nor delete sharing, so
// that nobody can replace it while held.
Held openWithoutSharing(const std::string &path);
// A named mutex: holding one under a region's name keeps a mapping of that
// name from being created.
Held namedMutex(const std::string &name);

// A DLL loaded into this process, as LoadLibrary loads it, until unloaded
// or gone.
class LoadedLibrary {
  public:
    explicit LoadedLibrary(const std::string &path);
    ~LoadedLibrary() { unload(); }
    LoadedLibrary(const LoadedLibrary &) = delete;
    LoadedLibrary &operator=(const LoadedLibrary &) = delete;
    bool loaded() const { return module_ != nullptr; }
    void *find(const char *exportName) const;  // null when it has no such export
    void unload();

  private:
    void *module_ = nullptr;
};

// A child process with its standard input and output on pipes. Ended when
// the Child goes, if it has not ended before.
class Child {
  public:
    Child() = default;
    Child(const std::string &program, const std::vector<std::string> &arguments);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return process_ != nullptr; }
    uint32_t processId() const { return processId_; }
    // One line the child wrote, waiting at most `limit`; false on timeout
    // or when the child ended first.
    bool readLine(std::string *line, milliseconds limit = kPatience);
    // Everything the child writes until it ends, at most `limit`.
    std::string readAll(milliseconds limit = kPatience);
    // Writes `line` and a newline to the child's input; false when it cannot.
    bool writeLine(const std::string &line);
    void closeInput();
    // Waits at most `limit` for the end; terminates the child when it has
    // not ended by then. The exit code, or -1 when it had to be terminated.
    int64_t wait(milliseconds limit = kPatience);
    // Terminates it, as a crash would end it, and waits for its end.
    void kill();

  private:
    void *process_ = nullptr;
    void *input_ = nullptr;
    void *output_ = nullptr;
    uint32_t processId_ = 0;
    std::string pending_;
};

// Starts `program` with `arguments` followed by "hold" (the helper's and the
// probe's command to wait for the end of their input) and waits until it
// prints "holding"; *printed gets the lines it printed before. The child is
// returned either way; a test failure tells when it did not get to hold.
std::unique_ptr<Child> startHolding(const std::string &program, std::vector<std::string> arguments,
                                    std::string *printed, milliseconds limit = kPatience);

// A client program started with `arguments` followed by "serve" (the
// probe's command to run further commands from its input, one a line),
// keeping its library loaded while a test talks to it. Its input is closed
// when the session goes, and it is given kPatience to end by itself.
class Session {
  public:
    explicit Session(const std::string &program, std::vector<std::string> arguments = {});
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // What the program printed before it began to serve.
    const std::string &started() const { return started_; }
    // Sends one command and gives the one line it answers; a test failure
    // when no line comes within kPatience.
    std::string ask(const std::string &command);
    uint32_t processId() const { return child_->processId(); }

  private:
    std::unique_ptr<Child> child_;
    std::string started_;
};

// Runs a program to its end (at most `limit`, then it is terminated) and
// gives what it wrote; *exitCode gets its exit code or -1.
std::string runProgram(const std::string &program, const std::vector<std::string> &arguments, int64_t *exitCode,
                       milliseconds limit = kPatience);

}  // namespace sorvik::wintest

#endif
