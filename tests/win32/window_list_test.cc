// The window list on Windows: a helper process holding top-level windows,
// visible and hidden, with and without titles, as the walk reports them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/windows_support.h"

namespace sorvik {
namespace {

struct Window {
    uint32_t owner;
    bool visible;
    std::string title;
    int visits = 0;
};

void collect(void *context, uint32_t window, uint32_t owner, bool visible, const char *title) {
    Window &w = (*static_cast<std::map<uint32_t, Window> *>(context))[window];
    w.owner = owner;
    w.visible = visible;
    w.title = title;
    ++w.visits;
}

TEST(WindowList, GivesEachWindowsOwnerVisibilityAndTitle) {
    const std::string longTitle(70, 't');
    struct Case {
        const char *what;
        std::string command;
        std::string title;     // as created
        bool visible;          // as reported
        std::string reported;  // the title as reported
    } cases[] = {
        {"visible with a title", "window", "Svk visible", true, "Svk visible"},
        {"hidden with a title", "hidden", "Svk hidden", false, "Svk hidden"},
        {"visible without a title", "window", "", true, ""},
        {"a long title, cut to 63 characters", "window", longTitle, true, longTitle.substr(0, 63)},
    };
    std::vector<std::string> commands;
    for (const Case &c : cases) commands.insert(commands.end(), {c.command, c.title});
    std::string printed;
    // The first window of a fresh Wine prefix waits for its desktop to start.
    auto helper = wintest::startHolding(wintest::besideThisProgram(SORVIK_HELPER), commands, &printed,
                                        std::chrono::seconds(60));
    std::vector<uint32_t> handles;
    std::istringstream lines(printed);
    for (std::string word, value; lines >> word >> value;)
        if (word == "window") handles.push_back(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
    ASSERT_EQ(handles.size(), std::size(cases)) << printed;

    std::map<uint32_t, Window> windows;
    ASSERT_TRUE(platform::listWindows(collect, &windows));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        ASSERT_NE(handles[i], 0u);
        const auto found = windows.find(handles[i]);
        ASSERT_NE(found, windows.end()) << "the walk visits the helper's window";
        EXPECT_EQ(found->second.visits, 1);
        EXPECT_EQ(found->second.owner, helper->processId());
        EXPECT_EQ(found->second.visible, cases[i].visible);
        EXPECT_EQ(found->second.title, cases[i].reported);
    }
}

}  // namespace
}  // namespace sorvik
