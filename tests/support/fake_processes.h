// An injected process list for logic tests.
#ifndef SORVIK_TESTS_SUPPORT_FAKE_PROCESSES_H
#define SORVIK_TESTS_SUPPORT_FAKE_PROCESSES_H

#include <string>
#include <vector>

#include "census/snapshot.h"

namespace sorvik::test {

struct FakeProcess {
    uint32_t processId;
    std::string exeText;
};

// What fakeProcesses lists; `fakeProcessesFail` makes it report that no list
// could be had. `fakeProcessesVisited` counts the processes handed out.
extern std::vector<FakeProcess> gFakeProcesses;
extern bool gFakeProcessesFail;
extern size_t gFakeProcessesVisited;

bool fakeProcesses(platform::ProcessVisitor visit, void *context);

// A snapshot of the fake list.
TaskSnapshot fakeSnapshot(const std::vector<FakeProcess> &processes);

}  // namespace sorvik::test

#endif
