/* Sorvik: a table of controlled programs shared by every process on the
 * machine that loads the library, and the calls through which those
 * processes decide together how many copies of each program may run.
 *
 * Every call is serialised against every other call of every process by
 * one inter-process lock. Names are NUL-terminated 8-bit strings; they are
 * compared with the letters A-Z folded to a-z and every other byte as is.
 *
 * A process that could not get the table when the library loaded (on Linux:
 * its user is not in the run directory's group, the directory is missing,
 * or the table's files do not check out while others use them) is answered
 * as if the library had not loaded: the three questions, processLogIn and
 * processLogOut answer 0; the administration calls change nothing and
 * answer SORVIK_NO_RECORD (2) with errno telling why; the accessors and lists
 * answer as for an empty table; processActive, processMsg and
 * processMsgReset answer 1. */
#ifndef SORVIK_H
#define SORVIK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(SORVIK_BUILDING_DLL)
#    define SORVIK_API __declspec(dllexport)
#  else
#    define SORVIK_API
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define SORVIK_CALL __stdcall
#  else
#    define SORVIK_CALL
#  endif
#else
#  define SORVIK_API __attribute__((visibility("default")))
#  define SORVIK_CALL
#endif

/* One controlled program: 152 bytes, the layout every client relies on. */
typedef struct ProStru {
    char proName[100];      /* as configured; may carry a backslash-separated directory */
    uint8_t hostAddr[4];    /* this host's IPv4 address, network byte order */
    int32_t permitExeCount; /* copies that may run at once */
    int32_t minExeCount;    /* copies that must run */
    int32_t exeCount;       /* copies running, as of the last recount, login or logout */
    int32_t activeTime;     /* last liveness report, seconds since 1970 UTC; -1 after a reset */
    int32_t userParamA;     /* stored and saved for the caller, never interpreted */
    int32_t userParamB;     /* stored and saved for the caller, never interpreted */
    int32_t presetValue;    /* always 100 */
    char message[20];       /* last message the program left */
} ProStru;

/* One running process: 172 bytes. Lists of them belong to the caller, who
 * passes room for SORVIK_MAX_TASKS entries. */
typedef struct _TASK_LIST {
    uint32_t processId;
    uint32_t window;        /* a visible top-level window of the process, or 0 */
    char taskName[100];     /* executable file name without directory and last extension */
    char windowTitle[64];   /* that window's title */
} _TASK_LIST;

#define SORVIK_MAX_RECORDS 350
#define SORVIK_MAX_TASKS 500

#ifdef __cplusplus
#  define SORVIK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#  define SORVIK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
SORVIK_STATIC_ASSERT(sizeof(ProStru) == 152, "ProStru is 152 bytes");
SORVIK_STATIC_ASSERT(offsetof(ProStru, hostAddr) == 100, "ProStru.hostAddr");
SORVIK_STATIC_ASSERT(offsetof(ProStru, permitExeCount) == 104, "ProStru.permitExeCount");
SORVIK_STATIC_ASSERT(offsetof(ProStru, minExeCount) == 108, "ProStru.minExeCount");
SORVIK_STATIC_ASSERT(offsetof(ProStru, exeCount) == 112, "ProStru.exeCount");
SORVIK_STATIC_ASSERT(offsetof(ProStru, activeTime) == 116, "ProStru.activeTime");
SORVIK_STATIC_ASSERT(offsetof(ProStru, userParamA) == 120, "ProStru.userParamA");
SORVIK_STATIC_ASSERT(offsetof(ProStru, userParamB) == 124, "ProStru.userParamB");
SORVIK_STATIC_ASSERT(offsetof(ProStru, presetValue) == 128, "ProStru.presetValue");
SORVIK_STATIC_ASSERT(offsetof(ProStru, message) == 132, "ProStru.message");
SORVIK_STATIC_ASSERT(sizeof(_TASK_LIST) == 172, "_TASK_LIST is 172 bytes");
SORVIK_STATIC_ASSERT(offsetof(_TASK_LIST, window) == 4, "_TASK_LIST.window");
SORVIK_STATIC_ASSERT(offsetof(_TASK_LIST, taskName) == 8, "_TASK_LIST.taskName");
SORVIK_STATIC_ASSERT(offsetof(_TASK_LIST, windowTitle) == 108, "_TASK_LIST.windowTitle");

/* Reading the table by index. An index is valid when it lies in
 * 0 .. GetControllableProcessNum() - 1; any other index gives NULL or -1.
 * The pointers lead into the live shared record: never free them. */
SORVIK_API int32_t SORVIK_CALL GetControllableProcessNum(void);
SORVIK_API ProStru *SORVIK_CALL GetProcessStruAt(int32_t index);
SORVIK_API char *SORVIK_CALL GetProcessNameAt(int32_t index); /* the part after the last backslash */
SORVIK_API int32_t SORVIK_CALL GetProcessPermitExeCountAt(int32_t index);
SORVIK_API int32_t SORVIK_CALL GetProcessMinExeCountAt(int32_t index);

/* Administration. Each answers one of these: */
/* done and saved */
#define SORVIK_DONE 0
/* refused: copies run that the change contradicts; a negative permit allows
 * none, as 0 does */
#define SORVIK_COPIES_RUN 1
/* no such record; for an addition, the table is full or the name cannot be
 * stored: empty, over 99 characters, holding white space or ending in a
 * backslash */
#define SORVIK_NO_RECORD 2
/* changed in the table, but the file was not written; the old file is
 * intact, and errno tells why: EINVAL when a record holds a name that would
 * not read back, written into it through GetProcessStruAt; the reason the
 * file could not be read when the table was loaded, while the table lacks
 * the file's records */
#define SORVIK_NOT_SAVED 3
/* Modify and delete find the record by the part of its name after the last
 * backslash, an addition by its whole name; both ignore the case of ASCII
 * letters. */
SORVIK_API int32_t SORVIK_CALL addOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount,
                                             int32_t userParamA, int32_t userParamB);
SORVIK_API int32_t SORVIK_CALL ModifyOneProcess(const char *name, int32_t minExeCount, int32_t permitExeCount);
SORVIK_API int32_t SORVIK_CALL DeleteOneProcess(const char *name);

/* Lists, written into the caller's room for SORVIK_MAX_TASKS entries; the
 * result is the number of entries filled, 0 also on failure and for a NULL
 * list. Every field of a filled entry is written: GetTaskList gives window 0
 * and an empty title; GetControllableTaskList gives the process's window and
 * its title where it has them. A task's name is its executable's file name
 * without the last extension, the file name as the system has it (on Linux a
 * backslash is part of it). */
SORVIK_API int32_t SORVIK_CALL GetTaskList(_TASK_LIST *list);
SORVIK_API int32_t SORVIK_CALL GetControllableTaskList(_TASK_LIST *list);
/* Recounts the running copies of every record; the result is the number of
 * processes seen, at most SORVIK_MAX_TASKS. */
SORVIK_API int32_t SORVIK_CALL RefreshAllSorvikStr(void);

/* Execution admission, 1 for yes and 0 for no. A process holds at most one
 * execution slot at a time. */
SORVIK_API int32_t SORVIK_CALL processLogIn(const char *name);
SORVIK_API int32_t SORVIK_CALL processLogOut(const char *name);
SORVIK_API int32_t SORVIK_CALL processCanExecute(const char *name);
SORVIK_API int32_t SORVIK_CALL processIsExecuting(const char *name);
SORVIK_API int32_t SORVIK_CALL IsProcessMustReExecute(const char *name);

/* Liveness and messages; each answers 1. */
SORVIK_API int32_t SORVIK_CALL processActive(const char *name);
SORVIK_API int32_t SORVIK_CALL processMsg(const char *name, const char *text);
SORVIK_API int32_t SORVIK_CALL processMsgReset(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* SORVIK_H */
