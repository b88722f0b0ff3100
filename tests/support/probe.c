/* A client program for tests: loads the library like any other client and
 * runs the commands given as arguments, in order, printing one line per
 * answer.
 *
 *   dump                  every record in use, one line each
 *   message I TEXT        writes TEXT into record I's message through the
 *                         pointer GetProcessStruAt hands out
 *   controlled            GetControllableTaskList into an array whose
 *                         every byte was 'x': "controlled N", then
 *                         "PID|NAME|WINDOW|TITLE" for each entry
 *   hold                  prints "holding" and waits until standard input
 *                         ends, keeping the library loaded
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sorvik.h"

static void dump(void) {
    int32_t count = GetControllableProcessNum();
    printf("count %d\n", (int)count);
    for (int32_t i = 0; i < count; ++i) {
        const ProStru *r = GetProcessStruAt(i);
        printf("%d|%s|%s|min=%d|permit=%d|exe=%d|active=%d|a=%d|b=%d|preset=%d|msg=%s|host=%u.%u.%u.%u\n", (int)i,
               r->proName, GetProcessNameAt(i), (int)r->minExeCount, (int)r->permitExeCount, (int)r->exeCount,
               (int)r->activeTime, (int)r->userParamA, (int)r->userParamB, (int)r->presetValue, r->message,
               r->hostAddr[0], r->hostAddr[1], r->hostAddr[2], r->hostAddr[3]);
    }
}

static void controlled(void) {
    static _TASK_LIST list[SORVIK_MAX_TASKS];
    memset(list, 'x', sizeof list);
    int32_t count = GetControllableTaskList(list);
    printf("controlled %d\n", (int)count);
    for (int32_t i = 0; i < count; ++i)
        printf("%u|%.100s|%u|%.64s\n", (unsigned)list[i].processId, list[i].taskName, (unsigned)list[i].window,
               list[i].windowTitle);
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const char *command = argv[i];
        if (strcmp(command, "dump") == 0) {
            dump();
        } else if (strcmp(command, "message") == 0 && i + 2 < argc) {
            ProStru *r = GetProcessStruAt(atoi(argv[i + 1]));
            if (r) {
                strncpy(r->message, argv[i + 2], sizeof r->message - 1);
                r->message[sizeof r->message - 1] = '\0';
            }
            printf("message %s\n", r ? "set" : "no record");
            i += 2;
        } else if (strcmp(command, "controlled") == 0) {
            controlled();
        } else if (strcmp(command, "hold") == 0) {
            printf("holding\n");
            int c;
            while ((c = getchar()) != EOF) {
            }
        } else {
            fprintf(stderr, "probe: unknown command %s\n", command);
            return 64;
        }
    }
    return 0;
}
