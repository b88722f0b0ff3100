/* Calls each of the nineteen functions once, so that linking it against the
 * 32-bit import library proves that every __stdcall name this header makes
 * (GetTaskList@4 and so on) is in it, bound to the DLL's undecorated export.
 * Built, never run: 32-bit programs do not run on the build machine. */
#include "sorvik.h"

int main(void) {
    static _TASK_LIST list[SORVIK_MAX_TASKS];
    int32_t sum = GetControllableProcessNum() + (GetProcessStruAt(0) != 0) + (GetProcessNameAt(0) != 0);
    sum += GetProcessPermitExeCountAt(0) + GetProcessMinExeCountAt(0);
    sum += addOneProcess("probe", 0, 1, -1, 0) + ModifyOneProcess("probe", 0, 2) + DeleteOneProcess("probe");
    sum += GetTaskList(list) + GetControllableTaskList(list) + RefreshAllSorvikStr();
    sum += processLogIn("probe") + processLogOut("probe") + processCanExecute("probe");
    sum += processIsExecuting("probe") + IsProcessMustReExecute("probe");
    sum += processActive("probe") + processMsg("probe", "text") + processMsgReset("probe");
    return sum == 0;
}
