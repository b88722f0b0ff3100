/* A client program for tests: loads the library like any other client and
 * runs commands, printing one line per answer. Commands come from the
 * arguments, in order; "serve" then reads further commands from standard
 * input, one a line, until it ends, keeping the library loaded meanwhile.
 *
 *   dump                  every record in use, one line each
 *   message I TEXT        writes TEXT into record I's message through the
 *                         pointer GetProcessStruAt hands out
 *   name I TEXT           writes TEXT into record I's name the same way;
 *                         "name I -" fills it with 'n' and no terminator
 *   tasks                 the task list, "pid name" a line, then "tasks N",
 *                         then "leftovers L, no list R": L entries kept
 *                         bytes of the array in window or windowTitle, and
 *                         GetTaskList(NULL) answered R
 *   refresh               RefreshAllSorvikStr's result
 *   login|logout|can|is|must NAME
 *                         the admission calls' answers
 *   add NAME MIN PERMIT A B, modify NAME MIN PERMIT, delete NAME
 *                         the administration calls' result codes
 *   errno                 errno as the last administration call left it
 *   active NAME, msg NAME TEXT, reset NAME
 *                         the liveness calls' answers
 *   controlled            GetControllableTaskList into an array whose
 *                         every byte was 'x': "controlled N", then
 *                         "PID|NAME|WINDOW|TITLE" for each entry
 *   exe I                 record I's exeCount as "exe I N"
 *   fork                  forks (not on Windows); the child prints "child"
 *                         and runs the following commands, then the parent,
 *                         once the child has ended, prints "parent" and runs
 *                         them too
 *   busy                  starts a thread that calls without pause, prints
 *                         "busy" once it has called, and goes on: a process
 *                         that ends afterwards ends in the middle of a call
 *   hold                  prints "holding" and waits until standard input ends
 *   serve                 prints "serving", then runs commands from standard input
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "sorvik.h"

static _TASK_LIST tasks[SORVIK_MAX_TASKS];
static int administrationErrno;

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

struct NamedCall {
    const char *command;
    int32_t(SORVIK_CALL *call)(const char *name);  /* __stdcall on 32-bit Windows, as the functions are */
};

static const struct NamedCall namedCalls[] = {
    {"login", processLogIn}, {"logout", processLogOut}, {"can", processCanExecute},
    {"is", processIsExecuting}, {"must", IsProcessMustReExecute},
};

static void controlled(void) {
    static _TASK_LIST list[SORVIK_MAX_TASKS];
    memset(list, 'x', sizeof list);
    int32_t count = GetControllableTaskList(list);
    printf("controlled %d\n", (int)count);
    for (int32_t i = 0; i < count; ++i)
        printf("%u|%.100s|%u|%.64s\n", (unsigned)list[i].processId, list[i].taskName, (unsigned)list[i].window,
               list[i].windowTitle);
}

static void serve(void);

static volatile long busyCalls;

#ifdef _WIN32
static DWORD WINAPI callWithoutPause(LPVOID unused) {
#else
static void *callWithoutPause(void *unused) {
#endif
    (void)unused;
    for (;;) {
        processActive("busy");
        GetProcessStruAt(0);
        processMsg("busy", "busy");
        busyCalls = busyCalls + 1;
    }
    return 0;
}

static int startBusyThread(void) {
#ifdef _WIN32
    HANDLE thread = CreateThread(NULL, 0, callWithoutPause, NULL, 0, NULL);
    if (!thread) return 0;
    CloseHandle(thread);
#else
    pthread_t thread;
    if (pthread_create(&thread, NULL, callWithoutPause, NULL) != 0) return 0;
    pthread_detach(thread);
#endif
    while (busyCalls == 0) {
    }
    return 1;
}

/* Runs the command at argv[0]; the number of arguments it used, or 0 when
 * it is unknown. */
static int run(int argc, char **argv) {
    const char *command = argv[0];
    if (strcmp(command, "dump") == 0) {
        dump();
        return 1;
    }
    if (strcmp(command, "name") == 0 && argc >= 3) {
        ProStru *r = GetProcessStruAt(atoi(argv[1]));
        if (r && strcmp(argv[2], "-") == 0) {
            memset(r->proName, 'n', sizeof r->proName);
        } else if (r) {
            strncpy(r->proName, argv[2], sizeof r->proName - 1);
            r->proName[sizeof r->proName - 1] = '\0';
        }
        printf("name %s\n", r ? "set" : "no record");
        return 3;
    }
    if (strcmp(command, "message") == 0 && argc >= 3) {
        ProStru *r = GetProcessStruAt(atoi(argv[1]));
        if (r) {
            strncpy(r->message, argv[2], sizeof r->message - 1);
            r->message[sizeof r->message - 1] = '\0';
        }
        printf("message %s\n", r ? "set" : "no record");
        return 3;
    }
    if (strcmp(command, "tasks") == 0) {
        /* Filled into an array of 'x' bytes: each entry must come back whole. */
        memset(tasks, 'x', sizeof tasks);
        int32_t count = GetTaskList(tasks);
        int32_t leftovers = 0;
        for (int32_t i = 0; i < count; ++i) {
            printf("%u %.96s\n", (unsigned)tasks[i].processId, tasks[i].taskName);
            if (tasks[i].window != 0 || memchr(tasks[i].windowTitle, 'x', sizeof tasks[i].windowTitle)) ++leftovers;
        }
        printf("tasks %d\n", (int)count);
        printf("leftovers %d, no list %d\n", (int)leftovers, (int)GetTaskList(NULL));
        return 1;
    }
    if (strcmp(command, "controlled") == 0) {
        controlled();
        return 1;
    }
    if (strcmp(command, "refresh") == 0) {
        printf("refresh %d\n", (int)RefreshAllSorvikStr());
        return 1;
    }
    for (size_t i = 0; i < sizeof namedCalls / sizeof namedCalls[0]; ++i) {
        if (strcmp(command, namedCalls[i].command) == 0 && argc >= 2) {
            printf("%s %s %d\n", command, argv[1], (int)namedCalls[i].call(argv[1]));
            return 2;
        }
    }
    if (strcmp(command, "add") == 0 && argc >= 6) {
        errno = 0;
        int32_t result = addOneProcess(argv[1], atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
        administrationErrno = errno;
        printf("add %s %d\n", argv[1], (int)result);
        return 6;
    }
    if (strcmp(command, "modify") == 0 && argc >= 4) {
        errno = 0;
        int32_t result = ModifyOneProcess(argv[1], atoi(argv[2]), atoi(argv[3]));
        administrationErrno = errno;
        printf("modify %s %d\n", argv[1], (int)result);
        return 4;
    }
    if (strcmp(command, "delete") == 0 && argc >= 2) {
        errno = 0;
        int32_t result = DeleteOneProcess(argv[1]);
        administrationErrno = errno;
        printf("delete %s %d\n", argv[1], (int)result);
        return 2;
    }
    if (strcmp(command, "errno") == 0) {
        printf("errno %d\n", administrationErrno);
        return 1;
    }
    if (strcmp(command, "active") == 0 && argc >= 2) {
        printf("active %s %d\n", argv[1], (int)processActive(argv[1]));
        return 2;
    }
    if (strcmp(command, "msg") == 0 && argc >= 3) {
        printf("msg %s %d\n", argv[1], (int)processMsg(argv[1], argv[2]));
        return 3;
    }
    if (strcmp(command, "reset") == 0 && argc >= 2) {
        printf("reset %s %d\n", argv[1], (int)processMsgReset(argv[1]));
        return 2;
    }
    if (strcmp(command, "exe") == 0 && argc >= 2) {
        const ProStru *r = GetProcessStruAt(atoi(argv[1]));
        printf("exe %s %d\n", argv[1], r ? (int)r->exeCount : -1);
        return 2;
    }
#ifndef _WIN32
    if (strcmp(command, "fork") == 0) {
        pid_t child = fork();
        if (child < 0) return 0;
        if (child == 0) {
            printf("child\n");
            return 1;
        }
        int status = 0;
        waitpid(child, &status, 0);
        printf("parent\n");
        return 1;
    }
#endif
    if (strcmp(command, "busy") == 0) {
        printf("%s\n", startBusyThread() ? "busy" : "no thread");
        return 1;
    }
    if (strcmp(command, "hold") == 0) {
        printf("holding\n");
        while (getchar() != EOF) {
        }
        return 1;
    }
    if (strcmp(command, "serve") == 0) {
        serve();
        return 1;
    }
    return 0;
}

static void serve(void) {
    char line[512];
    printf("serving\n");
    while (fgets(line, sizeof line, stdin)) {
        char *words[8];
        int count = 0;
        for (char *word = strtok(line, " \t\r\n"); word && count < 8; word = strtok(NULL, " \t\r\n"))
            words[count++] = word;
        if (count > 0 && run(count, words) == 0) printf("unknown %s\n", words[0]);
    }
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    for (int i = 1; i < argc;) {
        int used = run(argc - i, argv + i);
        if (used == 0) {
            fprintf(stderr, "probe: unknown command %s\n", argv[i]);
            return 64;
        }
        i += used;
    }
    return 0;
}
