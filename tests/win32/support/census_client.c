/* A client of the test site's DLL for the census calls, printing one line
 * per command:
 *
 *   tasks                 "task PID NAME" for every entry GetTaskList gives
 *   refresh               RefreshAllSorvikStr's count
 *   can-execute NAME      processCanExecute, and likewise is-executing and
 *   is-executing NAME     must-re-execute
 *   must-re-execute NAME
 *   exe I                 record I's exeCount */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sorvik.h"

static _TASK_LIST list[SORVIK_MAX_TASKS];

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const char *command = argv[i];
        const char *name = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(command, "tasks") == 0) {
            const int32_t count = GetTaskList(list);
            for (int32_t k = 0; k < count; ++k) printf("task %u %s\n", (unsigned)list[k].processId, list[k].taskName);
        } else if (strcmp(command, "refresh") == 0) {
            printf("refresh %d\n", (int)RefreshAllSorvikStr());
        } else if (strcmp(command, "can-execute") == 0 && name) {
            printf("can-execute %d\n", (int)processCanExecute(name));
            ++i;
        } else if (strcmp(command, "is-executing") == 0 && name) {
            printf("is-executing %d\n", (int)processIsExecuting(name));
            ++i;
        } else if (strcmp(command, "must-re-execute") == 0 && name) {
            printf("must-re-execute %d\n", (int)IsProcessMustReExecute(name));
            ++i;
        } else if (strcmp(command, "exe") == 0 && name) {
            const ProStru *record = GetProcessStruAt(atoi(name));
            printf("exe %d\n", record ? (int)record->exeCount : -1);
            ++i;
        } else {
            fprintf(stderr, "census_client: cannot run %s\n", command);
            return 64;
        }
    }
    return 0;
}
