/* A Windows caller of sorvik.dll as users write them, built two ways: linked
 * through the import library, so that on 32-bit Windows its calls name
 * GetTaskList@4 and so on, or (SORVIK_BIND_AT_RUN_TIME) binding the
 * undecorated exports of the DLL named by its first argument with
 * GetProcAddress. Either way it reads the records through its own compiler's
 * view of them and makes real calls on a table the test set up: its own
 * program is the table's second record, so it can log in, leave a message
 * and find itself in the lists. On 32-bit x86 it also checks that each of
 * the nineteen functions took its own arguments off the stack (__stdcall),
 * since a mismatch there would corrupt callers only later and elsewhere.
 * One line per finding, for the test to compare. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "sorvik.h"

/* The nineteen functions, reached through pointers of the types the header
 * declares. */
struct Api {
    int32_t(SORVIK_CALL *GetControllableProcessNum)(void);
    ProStru *(SORVIK_CALL *GetProcessStruAt)(int32_t);
    char *(SORVIK_CALL *GetProcessNameAt)(int32_t);
    int32_t(SORVIK_CALL *GetProcessPermitExeCountAt)(int32_t);
    int32_t(SORVIK_CALL *GetProcessMinExeCountAt)(int32_t);
    int32_t(SORVIK_CALL *addOneProcess)(const char *, int32_t, int32_t, int32_t, int32_t);
    int32_t(SORVIK_CALL *ModifyOneProcess)(const char *, int32_t, int32_t);
    int32_t(SORVIK_CALL *DeleteOneProcess)(const char *);
    int32_t(SORVIK_CALL *GetTaskList)(_TASK_LIST *);
    int32_t(SORVIK_CALL *GetControllableTaskList)(_TASK_LIST *);
    int32_t(SORVIK_CALL *RefreshAllSorvikStr)(void);
    int32_t(SORVIK_CALL *processLogIn)(const char *);
    int32_t(SORVIK_CALL *processLogOut)(const char *);
    int32_t(SORVIK_CALL *processCanExecute)(const char *);
    int32_t(SORVIK_CALL *processIsExecuting)(const char *);
    int32_t(SORVIK_CALL *IsProcessMustReExecute)(const char *);
    int32_t(SORVIK_CALL *processActive)(const char *);
    int32_t(SORVIK_CALL *processMsg)(const char *, const char *);
    int32_t(SORVIK_CALL *processMsgReset)(const char *);
};

static struct Api api;

/* What a function's first argument is: none, a record index, a name, or
 * room for a list. */
enum First { NONE, INDEX, NAME, LIST };

struct Function {
    const char *name;
    size_t offset; /* of its pointer in struct Api */
    int arguments; /* all 32 bits wide */
    enum First first;
};

#define FUNCTION(name, arguments, first) {#name, offsetof(struct Api, name), arguments, first}
static const struct Function functions[] = {
    FUNCTION(GetControllableProcessNum, 0, NONE),  FUNCTION(GetProcessStruAt, 1, INDEX),
    FUNCTION(GetProcessNameAt, 1, INDEX),          FUNCTION(GetProcessPermitExeCountAt, 1, INDEX),
    FUNCTION(GetProcessMinExeCountAt, 1, INDEX),   FUNCTION(addOneProcess, 5, NAME),
    FUNCTION(ModifyOneProcess, 3, NAME),           FUNCTION(DeleteOneProcess, 1, NAME),
    FUNCTION(GetTaskList, 1, LIST),                FUNCTION(GetControllableTaskList, 1, LIST),
    FUNCTION(RefreshAllSorvikStr, 0, NONE),        FUNCTION(processLogIn, 1, NAME),
    FUNCTION(processLogOut, 1, NAME),              FUNCTION(processCanExecute, 1, NAME),
    FUNCTION(processIsExecuting, 1, NAME),         FUNCTION(IsProcessMustReExecute, 1, NAME),
    FUNCTION(processActive, 1, NAME),              FUNCTION(processMsg, 2, NAME),
    FUNCTION(processMsgReset, 1, NAME),
};
#define FUNCTION_COUNT (sizeof functions / sizeof functions[0])

static void **slot(const struct Function *function) { return (void **)((char *)&api + function->offset); }

#if defined(SORVIK_BIND_AT_RUN_TIME)
static int bindApi(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DLL\n", argv[0]);
        return 0;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        printf("cannot load %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 0;
    }
    int bound = 1;
    for (size_t i = 0; i < FUNCTION_COUNT; ++i) {
        FARPROC address = GetProcAddress(dll, functions[i].name);
        if (!address) {
            printf("no export %s\n", functions[i].name);
            bound = 0;
        }
        memcpy(slot(&functions[i]), &address, sizeof address);
    }
    return bound;
}
#else
static int bindApi(int argc, char **argv) {
    (void)argc;
    (void)argv;
    api.GetControllableProcessNum = GetControllableProcessNum;
    api.GetProcessStruAt = GetProcessStruAt;
    api.GetProcessNameAt = GetProcessNameAt;
    api.GetProcessPermitExeCountAt = GetProcessPermitExeCountAt;
    api.GetProcessMinExeCountAt = GetProcessMinExeCountAt;
    api.addOneProcess = addOneProcess;
    api.ModifyOneProcess = ModifyOneProcess;
    api.DeleteOneProcess = DeleteOneProcess;
    api.GetTaskList = GetTaskList;
    api.GetControllableTaskList = GetControllableTaskList;
    api.RefreshAllSorvikStr = RefreshAllSorvikStr;
    api.processLogIn = processLogIn;
    api.processLogOut = processLogOut;
    api.processCanExecute = processCanExecute;
    api.processIsExecuting = processIsExecuting;
    api.IsProcessMustReExecute = IsProcessMustReExecute;
    api.processActive = processActive;
    api.processMsg = processMsg;
    api.processMsgReset = processMsgReset;
    return 1;
}
#endif

/* This program's file name without directory and extension: the name
 * under which the table holds it. */
static void ownName(char *name, size_t size) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    path[length < sizeof path ? length : sizeof path - 1] = '\0';
    const char *base = strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path;
    snprintf(name, size, "%s", base);
    char *dot = strrchr(name, '.');
    if (dot) *dot = '\0';
}

static void printRecord(int32_t index) {
    const ProStru *r = api.GetProcessStruAt(index);
    if (!r) {
        printf("record %d missing\n", (int)index);
        return;
    }
    printf("record %d %.100s|%s|min=%d|permit=%d|a=%d|b=%d|preset=%d|msg=%.20s\n", (int)index, r->proName,
           api.GetProcessNameAt(index), (int)r->minExeCount, (int)r->permitExeCount, (int)r->userParamA,
           (int)r->userParamB, (int)r->presetValue, r->message);
}

/* Room for the lists with one entry more, all bytes 0xab: whatever a call
 * writes past its count, or past the 500 entries, shows. */
static _TASK_LIST lists[SORVIK_MAX_TASKS + 1];

/* GetTaskList leaves an entry's window and title as they were, so only the
 * controllable list's titles are looked at. */
static const char *untouchedBeyond(int32_t count, int withTitles) {
    if (count < 0 || count > SORVIK_MAX_TASKS) return "count out of range";
    const unsigned char *bytes = (const unsigned char *)lists;
    for (size_t i = (size_t)count * sizeof(_TASK_LIST); i < sizeof lists; ++i)
        if (bytes[i] != 0xab) return "written past the count";
    for (int32_t k = 0; k < count; ++k)
        if (!memchr(lists[k].taskName, '\0', sizeof lists[k].taskName) ||
            (withTitles && !memchr(lists[k].windowTitle, '\0', sizeof lists[k].windowTitle)))
            return "an unterminated name";
    return "untouched";
}

static const _TASK_LIST *ownEntry(int32_t count) {
    for (int32_t k = 0; k < count; ++k)
        if (lists[k].processId == GetCurrentProcessId()) return &lists[k];
    return NULL;
}

static void checkLists(void) {
    memset(lists, 0xab, sizeof lists);
    int32_t count = api.GetTaskList(lists);
    const _TASK_LIST *own = ownEntry(count);
    printf("tasks beyond %s, self %s\n", untouchedBeyond(count, 0), own ? own->taskName : "missing");

    memset(lists, 0xab, sizeof lists);
    count = api.GetControllableTaskList(lists);
    own = ownEntry(count);
    printf("controlled %d beyond %s, self %s window %u title '%s'\n", (int)count, untouchedBeyond(count, 1),
           own ? own->taskName : "missing", own ? (unsigned)own->window : 0u, own ? own->windowTitle : "");

    count = api.RefreshAllSorvikStr();
    printf("refresh %s, exe %d\n", count > 0 && count <= SORVIK_MAX_TASKS ? "in range" : "out of range",
           (int)api.GetProcessStruAt(1)->exeCount);
}

#if defined(__i386__)
/* Calls `function` with `count` 32-bit arguments pushed right to left, as
 * __stdcall and cdecl both pass them, and gives the bytes it left on the
 * stack: 0 when it removed its arguments itself. The stack pointer is kept
 * in edi, which a callee preserves, and put back afterwards either way. */
static uint32_t leftOnStack(void *function, const uint32_t *arguments, uint32_t count) {
    uint32_t left;
    __asm__ volatile(
        "movl %%esp, %%edi\n\t"
        "1:\n\t"
        "testl %%edx, %%edx\n\t"
        "jz 2f\n\t"
        "pushl -4(%%esi,%%edx,4)\n\t"
        "decl %%edx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%edi, %%ecx\n\t"
        "subl %%esp, %%ecx\n\t"
        "movl %%edi, %%esp\n\t"
        : "=&c"(left), "+d"(count)
        : "b"(function), "S"(arguments)
        : "eax", "edi", "memory", "cc");
    return left;
}

/* Each function with harmless arguments: an index past the table, a name
 * that no record holds (so an addition's is refused as empty), and for
 * processMsg a text as its second. */
static void checkStackCleanup(void) {
    static const char absent[] = "SvkAbiNoSuchRecord";
    static const char empty[] = "";
    int wrong = 0;
    for (size_t i = 0; i < FUNCTION_COUNT; ++i) {
        const struct Function *function = &functions[i];
        uint32_t arguments[5] = {0, 1, 2, 3, 4};
        if (function->first == INDEX) arguments[0] = 100000;
        if (function->first == NAME) arguments[0] = (uint32_t)(uintptr_t)absent;
        if (function->first == LIST) arguments[0] = (uint32_t)(uintptr_t)lists;
        if (function->arguments == 5) arguments[0] = (uint32_t)(uintptr_t)empty;
        if (function->arguments == 2) arguments[1] = (uint32_t)(uintptr_t)absent;
        const uint32_t left = leftOnStack(*slot(function), arguments, (uint32_t)function->arguments);
        if (left != 0) {
            printf("stdcall %s left %u bytes of %d\n", function->name, (unsigned)left, function->arguments * 4);
            ++wrong;
        }
    }
    printf("stdcall %d of %d clean up their arguments\n", (int)FUNCTION_COUNT - wrong, (int)FUNCTION_COUNT);
}
#endif

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (!bindApi(argc, argv)) return 1;
    char self[MAX_PATH + 1];
    ownName(self, sizeof self);

    printf("sizes ProStru %u _TASK_LIST %u pointer %u\n", (unsigned)sizeof(ProStru), (unsigned)sizeof(_TASK_LIST),
           (unsigned)sizeof(void *));
    const int32_t count = api.GetControllableProcessNum();
    printf("count %d\n", (int)count);
    for (int32_t i = 0; i < count; ++i) printRecord(i);
    if (count < 2) return 1;
    printf("stride %d\n", (int)((const char *)api.GetProcessStruAt(1) - (const char *)api.GetProcessStruAt(0)));
    printf("by index permit %d %d min %d %d\n", (int)api.GetProcessPermitExeCountAt(0),
           (int)api.GetProcessPermitExeCountAt(1), (int)api.GetProcessMinExeCountAt(0),
           (int)api.GetProcessMinExeCountAt(1));
    printf("past the end %s %s %d %d\n", api.GetProcessStruAt(count) ? "record" : "null",
           api.GetProcessNameAt(count) ? "name" : "null", (int)api.GetProcessPermitExeCountAt(count),
           (int)api.GetProcessMinExeCountAt(count));

    printf("add %d\n", (int)api.addOneProcess("SvkAbiAdded", 4, 6, 21, -22));
    printRecord(2);
    printf("modify %d\n", (int)api.ModifyOneProcess("svkabiadded", 1, 9));
    printRecord(2);
    /* Each call in a statement of its own: the order in which a function's
     * arguments are evaluated is the compiler's choice. */
    const int32_t deleted = api.DeleteOneProcess("SVKABIADDED");
    printf("delete %d, count %d\n", (int)deleted, (int)api.GetControllableProcessNum());

    const ProStru *own = api.GetProcessStruAt(1);
    printf("login %d\n", (int)api.processLogIn(self));
    printf("exe %d\n", (int)own->exeCount);
    const int32_t can = api.processCanExecute(self);
    const int32_t is = api.processIsExecuting(self);
    printf("can %d is %d must %d\n", (int)can, (int)is, (int)api.IsProcessMustReExecute(self));
    const int32_t loggedOut = api.processLogOut(self);
    printf("logout %d, exe %d\n", (int)loggedOut, (int)own->exeCount);
    checkLists();

    const int32_t active = api.processActive(self);
    printf("active %d msg %d\n", (int)active, (int)api.processMsg(self, "from the caller"));
    printf("stamped %s, message '%.20s'\n", own->activeTime > 0 ? "yes" : "no", own->message);
    const int32_t reset = api.processMsgReset(self);
    printf("reset %d: active %d, exe %d, message '%.20s'\n", (int)reset, (int)own->activeTime, (int)own->exeCount,
           own->message);
#if defined(__i386__)
    checkStackCleanup();
#endif
    return 0;
}
