// A private X server for tests, and X clients with windows on it.
#ifndef SORVIK_TESTS_SUPPORT_X_SERVER_H
#define SORVIK_TESTS_SUPPORT_X_SERVER_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace sorvik::test {

// An Xvfb of its own on a display number the server finds free, without a
// window manager, stopped by its pid when the XServer goes. `display` is
// ":N", or empty when the server did not start.
struct XServer {
    XServer();
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    std::string display;
    Child server;
};

// Copies `program` to `directory`/`name`, so that a process started from the
// copy runs under the task name `name`. The copy's path.
std::string namedCopy(const std::string &program, const std::string &directory, const std::string &name);

// The window client (tests/support/window_client.c) started from `program`
// on `display` with `commands`, once it has printed its windows; killed by
// its pid when the WindowClient goes. `windows` is empty when it failed.
struct WindowClient {
    WindowClient(const std::string &program, const std::string &display, const std::vector<std::string> &commands);
    ~WindowClient();
    WindowClient(const WindowClient &) = delete;
    WindowClient &operator=(const WindowClient &) = delete;

    uint32_t pid() const { return static_cast<uint32_t>(child.pid); }
    Child child;
    std::vector<uint32_t> windows;
};

// A display that takes connections and never says a word: a listening
// socket under the abstract name of an unused display number, which no file
// on the machine stands for and which goes with the socket. `display` is
// ":N", or empty when no number was free.
class SilentDisplay {
  public:
    SilentDisplay();
    ~SilentDisplay() { forget(); }
    SilentDisplay(const SilentDisplay &) = delete;
    SilentDisplay &operator=(const SilentDisplay &) = delete;
    // Closes this process's copy of the socket; a forked client calls it, so
    // that the server's end goes when the test's does.
    void forget();
    std::string display;

  private:
    int listener_ = -1;
};

// Runs `argv` on `display` and waits at most 10 s for it; its exit status,
// or -1.
int runOnDisplay(const std::string &display, const std::vector<std::string> &argv);

}  // namespace sorvik::test

#endif
