#include "support/fake_processes.h"

namespace sorvik::test {

std::vector<FakeProcess> gFakeProcesses;
bool gFakeProcessesFail = false;
size_t gFakeProcessesVisited = 0;

bool fakeProcesses(platform::ProcessVisitor visit, void *context) {
    gFakeProcessesVisited = 0;
    if (gFakeProcessesFail) return false;
    for (const FakeProcess &p : gFakeProcesses) {
        ++gFakeProcessesVisited;
        if (!visit(context, p.processId, p.exeText.data(), p.exeText.size())) break;
    }
    return true;
}

TaskSnapshot fakeSnapshot(const std::vector<FakeProcess> &processes) {
    gFakeProcesses = processes;
    gFakeProcessesFail = false;
    TaskSnapshot snapshot;
    takeSnapshot(&snapshot, fakeProcesses);
    return snapshot;
}

}  // namespace sorvik::test
