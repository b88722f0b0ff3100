// Callers of the test site's sorvik.dll built as users build them: one
// linked through the import library, one binding the exports at run time.
// Each reads the records through its own compiler's view of them and makes
// real calls on a table that holds its own program, so a record, list entry
// or argument out of place between caller and DLL shows as a wrong value.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/windows_support.h"

namespace sorvik {
namespace {

const std::string kSiteConfig = SORVIK_TEST_SITE_CONFIG;

struct Caller {
    const char *how;
    std::string program;
    std::string taskName;  // the program's file name without directory and extension
    std::vector<std::string> arguments;
};

const Caller kCallers[] = {
    {"linked through the import library", SORVIK_LINKED_CALLER, "sorvik_linked_caller", {}},
    {"binding the exports with GetProcAddress", SORVIK_BOUND_CALLER, "sorvik_bound_caller", {SORVIK_TEST_SITE_DLL}},
};

// What a caller prints when the DLL and it agree on every record, argument
// and calling convention.
std::string expectedOutput(const std::string &self) {
    std::string out = "sizes ProStru 152 _TASK_LIST 172 pointer " + std::to_string(sizeof(void *)) + "\n";
    out += "count 2\n";
    out += "record 0 d:\\tools\\SvkAbiFirst|SvkAbiFirst|min=1|permit=2|a=-5|b=7|preset=100|msg=\n";
    out += "record 1 " + self + "|" + self + "|min=0|permit=3|a=11|b=13|preset=100|msg=\n";
    out += "stride 152\n";
    out += "by index permit 2 3 min 1 0\n";
    out += "past the end null null -1 -1\n";
    out += "add 0\n";
    out += "record 2 SvkAbiAdded|SvkAbiAdded|min=4|permit=6|a=21|b=-22|preset=100|msg=\n";
    out += "modify 0\n";
    out += "record 2 SvkAbiAdded|SvkAbiAdded|min=1|permit=9|a=21|b=-22|preset=100|msg=\n";
    out += "delete 0, count 2\n";
    out += "login 1\n";
    out += "exe 1\n";
    out += "can 1 is 1 must 0\n";  // the recount finds the one copy, this caller
    out += "logout 1, exe 0\n";
    out += "tasks beyond untouched, self " + self + "\n";
    out += "controlled 1 beyond untouched, self " + self + " window 0 title ''\n";
    out += "refresh in range, exe 1\n";
    out += "active 1 msg 1\n";
    out += "stamped yes, message 'from the caller'\n";
    out += "reset 1: active -1, exe 0, message ''\n";
#if defined(__i386__)
    out += "stdcall 19 of 19 clean up their arguments\n";
#endif
    return out;
}

class CallerAbi : public ::testing::TestWithParam<Caller> {
  protected:
    void TearDown() override { std::remove(kSiteConfig.c_str()); }
};

TEST_P(CallerAbi, SeesTheRecordsAndCallsAsTheDllMeansThem) {
    const Caller &caller = GetParam();
    wintest::writeFile(kSiteConfig, "d:\\tools\\SvkAbiFirst 1 2 -5 7\r\n" + caller.taskName + " 0 3 11 13\r\n");
    int64_t status = -2;
    const std::string out = wintest::runProgram(caller.program, caller.arguments, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, expectedOutput(caller.taskName)) << caller.how;
}

INSTANTIATE_TEST_SUITE_P(BothWays, CallerAbi, ::testing::ValuesIn(kCallers),
                         [](const ::testing::TestParamInfo<Caller> &info) {
                             return info.index == 0 ? std::string("Linked") : std::string("Bound");
                         });

}  // namespace
}  // namespace sorvik
