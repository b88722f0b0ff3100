/* A process that only exists: the benchmarks start hundreds of copies of it,
 * under realistic program names, so that every walk of /proc meets a
 * machine's worth of processes. It ends when it is signalled, when the
 * script that started it dies, or after an hour, so that none outlives a
 * benchmark run that was cut short. */
#define _GNU_SOURCE
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(void) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0; /* the starter died before the line above */
    sleep(3600);
    return 0;
}
