/* A controlled program: it runs only while it holds one of the execution
 * slots the table permits its name, and gives its slot back when it ends.
 *
 *   report_job        works until SIGTERM or SIGINT
 *
 * Its name in the table is its own file name without directory and
 * extension, as the library's census names its processes.
 * Exit status: 0 after a normal end, 1 when it was refused a slot. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "sorvik.h"

static void ownName(const char *path, char *name, size_t size) {
    const char *base = strrchr(path, '/');
    snprintf(name, size, "%s", base ? base + 1 : path);
    char *dot = strrchr(name, '.');
    if (dot && dot != name) *dot = '\0';
}

/* The permitted count of the first record of that name, or -1 when none.
 * The library compares names ignoring ASCII case, as strcasecmp does in the
 * C locale. */
static int32_t permitted(const char *name) {
    for (int32_t i = 0; i < GetControllableProcessNum(); ++i) {
        const char *recordName = GetProcessNameAt(i);
        if (recordName && strcasecmp(recordName, name) == 0) return GetProcessPermitExeCountAt(i);
    }
    return -1;
}

static void ignore(int signal) { (void)signal; }

int main(int argc, char **argv) {
    (void)argc;
    char name[100];
    ownName(argv[0], name, sizeof name);
    setvbuf(stdout, NULL, _IOLBF, 0);
    const int pid = (int)getpid();

    /* processCanExecute counts the running copies afresh, and this copy is
     * one of them: it is the question a launcher asks before it starts a
     * copy. A copy that already runs takes a slot instead; processLogIn
     * grants one only while fewer copies hold one than are permitted. */
    const int32_t permit = permitted(name);
    if (permit < 0) {
        printf("%s %d: no record named %s; running unlimited\n", name, pid, name);
    } else if (!processLogIn(name)) {
        printf("%s %d: refused: the %d permitted copies already run\n", name, pid, (int)permit);
        return 1;
    } else {
        processActive(name);
        processMsg(name, "working");
        printf("%s %d: started, holding one of %d slots\n", name, pid, (int)permit);
    }

    /* Blocked until sigsuspend, so that a stop that comes early is not lost. */
    sigset_t stops, others;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &others);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignore;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    sigsuspend(&others);

    if (permit >= 0) {
        processLogOut(name);
        printf("%s %d: stopped, slot given back\n", name, pid);
    }
    return 0;
}
