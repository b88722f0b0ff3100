// The window list from a real X server: a private Xvfb without a window
// manager, and the window client started as a real program with windows of
// its own.
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/scratch.h"
#include "support/x_server.h"

#ifndef SORVIK_WINDOW_CLIENT
#error "SORVIK_WINDOW_CLIENT names the window client program"
#endif

namespace sorvik {
namespace {

const std::string kWindowClient = SORVIK_WINDOW_CLIENT;

struct Seen {
    uint32_t window;
    uint32_t owner;
    bool visible;
    std::string title;
    bool operator==(const Seen &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Seen &s) {
    return out << "{" << s.window << " owner " << s.owner << (s.visible ? " visible" : " invisible") << " \""
               << s.title << "\"}";
}

void collect(void *context, uint32_t window, uint32_t owner, bool visible, const char *title) {
    static_cast<std::vector<Seen> *>(context)->push_back({window, owner, visible, title});
}

class WindowList : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        const char *old = std::getenv("DISPLAY");
        if (old) oldDisplay = old;
        setenv("DISPLAY", x.display.c_str(), 1);
    }
    void TearDown() override {
        if (oldDisplay.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", oldDisplay.c_str(), 1);
    }
    std::vector<Seen> list() {
        std::vector<Seen> seen;
        EXPECT_TRUE(platform::listWindows(collect, &seen));
        return seen;
    }
    // What the list says of `windows`, in the list's order.
    std::vector<Seen> listOf(const std::vector<uint32_t> &windows) {
        std::vector<Seen> mine;
        for (const Seen &s : list())
            for (uint32_t w : windows)
                if (s.window == w) mine.push_back(s);
        return mine;
    }
    test::XServer x;
    std::string oldDisplay;
};

TEST_F(WindowList, GivesEachTopLevelWindowWithItsOwnerVisibilityAndText) {
    test::WindowClient client(kWindowClient, x.display,
                              {"window", "mapped", "net", "Main title",         //
                               "window", "unmapped", "net", "Hidden",           //
                               "window", "mapped",                              //
                               "window", "mapped", "wm", "Old style",           //
                               "window", "mapped", "net", "Ünïcode ✓", "wm", "fallback",  //
                               "window", "mapped", "net", "", "wm", "Old only"});
    ASSERT_EQ(client.windows.size(), 6u);
    const std::vector<uint32_t> &w = client.windows;
    const uint32_t pid = client.pid();  // from the server: no window names its process
    EXPECT_EQ(listOf(w), (std::vector<Seen>{{w[0], pid, true, "Main title"},
                                            {w[1], pid, false, "Hidden"},
                                            {w[2], pid, true, ""},
                                            {w[3], pid, true, "Old style"},
                                            {w[4], pid, true, "Ünïcode ✓"},
                                            {w[5], pid, true, "Old only"}}));
}

TEST_F(WindowList, AWindowThatNamesItsProcessIsTakenAtItsWord) {
    test::WindowClient client(kWindowClient, x.display,
                              {"window", "mapped", "pid", "4242", "window", "mapped"});
    ASSERT_EQ(client.windows.size(), 2u);
    const std::vector<Seen> seen = listOf(client.windows);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].owner, 4242u);
    EXPECT_EQ(seen[1].owner, client.pid());
}

TEST_F(WindowList, TextIsCutTo63BytesNeverThroughAUtf8Sequence) {
    struct Case {
        const char *property;
        std::string text;
        std::string expected;
    };
    const std::string a61(61, 'a'), a62(62, 'a'), a63(63, 'a');
    const std::vector<Case> cases = {
        {"net", a63, a63},
        {"net", a63 + "b", a63},
        {"net", a62 + "é", a62},              // 64 bytes: é would be split
        {"net", a61 + "é", a61 + "é"},        // 63 bytes: fits whole
        {"net", a61 + "€", a61},              // 64 bytes: € would be split after one byte
        {"net", std::string(60, 'a') + "€", std::string(60, 'a') + "€"},
        {"net", a61 + "😀", a61},             // a four-byte sequence
        {"wm", a62 + "\xa9\xa9", a62 + "\xa9"},  // STRING is Latin-1: every byte is a character
    };
    std::vector<std::string> commands;
    for (const Case &c : cases) {
        commands.insert(commands.end(), {"window", "mapped", c.property, c.text});
    }
    test::WindowClient client(kWindowClient, x.display, commands);
    ASSERT_EQ(client.windows.size(), cases.size());
    const std::vector<Seen> seen = listOf(client.windows);
    ASSERT_EQ(seen.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(seen[i].title, cases[i].expected) << "case " << i;
}

TEST_F(WindowList, FollowsTheWindowManagersClientListWhenOneIsPublished) {
    test::WindowClient first(kWindowClient, x.display, {"window", "mapped", "net", "a1", "window", "mapped"});
    test::WindowClient second(kWindowClient, x.display, {"window", "unmapped", "net", "b1"});
    ASSERT_EQ(first.windows.size(), 2u);
    ASSERT_EQ(second.windows.size(), 1u);
    const uint32_t a1 = first.windows[0], a2 = first.windows[1], b1 = second.windows[0];
    // Ids whose client part is 0 are the server's own, and it makes few:
    // this one names no window, as a window destroyed meanwhile would not.
    const uint32_t gone = 0x1ffffe;
    ASSERT_EQ(test::runOnDisplay(x.display, {kWindowClient, "clientlist", std::to_string(b1), std::to_string(gone),
                                             std::to_string(a2), std::to_string(a1)}),
              0);
    EXPECT_EQ(list(), (std::vector<Seen>{{b1, second.pid(), false, "b1"},
                                         {a2, first.pid(), true, ""},
                                         {a1, first.pid(), true, "a1"}}))
        << "the list's windows only, in its order, past the one that does not exist";
}

std::vector<std::string> openDescriptors() {
    std::vector<std::string> names;
    DIR *dir = opendir("/proc/self/fd");
    while (const dirent *e = readdir(dir)) names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(WindowList, KeepsNoConnectionBetweenCalls) {
    test::WindowClient client(kWindowClient, x.display, {"window", "mapped"});
    ASSERT_EQ(client.windows.size(), 1u);
    list();  // the libraries are loaded by the first call
    const std::vector<std::string> before = openDescriptors();
    EXPECT_EQ(listOf(client.windows).size(), 1u);
    EXPECT_EQ(openDescriptors(), before);
}

// A display whose server greets a client as an X server with no screens and
// then takes nothing more from it: the client's first request meets a
// socket that no longer reads, as when a server goes away mid-call.
class HangingUpDisplay {
  public:
    HangingUpDisplay() {
        mkdir("/tmp/.X11-unix", 01777);
        for (int n = 4000; n < 4100 && display.empty(); ++n) {
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd, 1) == 0) {
                listener_ = fd;
                path_ = path;
                display = ":" + std::to_string(n);
            } else {
                close(fd);
            }
        }
    }
    ~HangingUpDisplay() {
        if (client_ >= 0) close(client_);
        if (listener_ >= 0) close(listener_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    // Takes the client's connection setup, answers it and stops reading.
    bool serveOne() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return false;
        client_ = accept(listener_, nullptr, nullptr);
        char request[1024];
        p = {client_, POLLIN, 0};
        if (client_ < 0 || poll(&p, 1, 10000) != 1 || read(client_, request, sizeof request) < 12) return false;
        // Success, protocol 11.0, 8 more words: ids 0x200000/0x1fffff,
        // requests up to 65535 words, no screens, no pixmap formats.
        const unsigned char setup[40] = {1, 0, 11, 0, 0, 0, 8, 0, 0, 0, 0,  0,  0, 0,   0x20, 0, 0xff, 0xff, 0x1f, 0,
                                         0, 0, 0,  0, 0, 0, 0xff, 0xff, 0, 0, 0, 0, 32, 32, 8, 255, 0, 0, 0, 0};
        shutdown(client_, SHUT_RD);
        return write(client_, setup, sizeof setup) == static_cast<ssize_t>(sizeof setup);
    }
    std::string display;

  private:
    int listener_ = -1;
    int client_ = -1;
    std::string path_;
};

TEST(WindowListOnAServerThatHangsUp, DoesNotEndTheCallersProcess) {
    HangingUpDisplay hangingUp;
    ASSERT_FALSE(hangingUp.display.empty());
    test::Child child = test::forkChild([&](int out) {
        setenv("DISPLAY", hangingUp.display.c_str(), 1);
        std::vector<Seen> seen;
        platform::listWindows(collect, &seen);
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        test::sendLine(out, "visited " + std::to_string(seen.size()) + " pipe signal blocked " +
                                std::to_string(sigismember(&mask, SIGPIPE)));
        return 0;
    });
    EXPECT_TRUE(hangingUp.serveOne());
    std::string line;
    EXPECT_TRUE(test::readLine(child, &line));
    EXPECT_EQ(line, "visited 0 pipe signal blocked 0");
    EXPECT_EQ(test::waitChild(&child), 0) << "the caller died";
}

TEST(WindowListOnAServerThatNeverAnswers, GivesUpWithoutWindowsAndDoesNotWaitAgain) {
    test::SilentDisplay silent;
    ASSERT_FALSE(silent.display.empty());
    test::Child child = test::forkChild([&](int out) {
        silent.forget();
        setenv("DISPLAY", silent.display.c_str(), 1);
        for (const char *call : {"first", "second"}) {
            std::vector<Seen> seen;
            const bool listed = platform::listWindows(collect, &seen);
            test::sendLine(out, std::string(call) + " " + std::to_string(listed) + " " + std::to_string(seen.size()));
        }
        return 0;
    });
    // The call's own limit is a couple of seconds; these waits only keep a
    // call that never returns from holding up the suite.
    std::string first, second;
    EXPECT_TRUE(test::readLine(child, &first, std::chrono::seconds(15))) << "the call waits for the silent server";
    EXPECT_EQ(first, "first 0 0");
    if (!first.empty()) {
        EXPECT_TRUE(test::readLine(child, &second, std::chrono::seconds(15))) << "the second call waits";
        EXPECT_EQ(second, "second 0 0");
    }
    EXPECT_EQ(test::waitChild(&child), 0) << "killed, still waiting";
}

TEST(WindowListWithoutADisplay, VisitsNothingAndSaysSo) {
    struct Case {
        const char *what;
        const char *display;  // null: DISPLAY unset
    };
    for (const Case &c : {Case{"DISPLAY unset", nullptr}, Case{"no server there", ":4093"},
                          Case{"not a display name", "no such display"}}) {
        SCOPED_TRACE(c.what);
        test::Child child = test::forkChild([&](int out) {
            if (c.display)
                setenv("DISPLAY", c.display, 1);
            else
                unsetenv("DISPLAY");
            std::vector<Seen> seen;
            const bool listed = platform::listWindows(collect, &seen);
            test::sendLine(out, std::to_string(listed) + " " + std::to_string(seen.size()));
            return 0;
        });
        std::string line;
        EXPECT_TRUE(test::readLine(child, &line));
        EXPECT_EQ(line, "0 0");
        EXPECT_EQ(test::waitChild(&child), 0);
    }
}

}  // namespace
}  // namespace sorvik
