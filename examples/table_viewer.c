/* Prints the shared table of controlled programs as this process sees it.
 *
 *   table_viewer [--message TEXT] [--hold]
 *
 * --message leaves TEXT in record 0, through the pointer the library hands
 * out; --hold keeps the library loaded until standard input ends. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "sorvik.h"

int main(int argc, char **argv) {
    const char *message = NULL;
    int hold = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--message") == 0 && i + 1 < argc)
            message = argv[++i];
        else if (strcmp(argv[i], "--hold") == 0)
            hold = 1;
        else {
            fprintf(stderr, "usage: table_viewer [--message TEXT] [--hold]\n");
            return 64;
        }
    }
    setvbuf(stdout, NULL, _IOLBF, 0);

    ProStru *first = GetProcessStruAt(0);
    if (message && first) {
        strncpy(first->message, message, sizeof first->message - 1);
        first->message[sizeof first->message - 1] = '\0';
    }

    int32_t count = GetControllableProcessNum();
    printf("pid %d sees %d records\n", (int)getpid(), (int)count);
    printf("%-3s %-18s %-8s %4s %6s %4s %4s  %s\n", "#", "name", "baseName", "min", "permit", "A", "B", "message");
    for (int32_t i = 0; i < count; ++i) {
        const ProStru *r = GetProcessStruAt(i);
        printf("%-3d %-18s %-8s %4d %6d %4d %4d  %s\n", (int)i, r->proName, GetProcessNameAt(i),
               (int)GetProcessMinExeCountAt(i), (int)GetProcessPermitExeCountAt(i), (int)r->userParamA,
               (int)r->userParamB, r->message);
    }
    if (hold) {
        printf("holding\n");
        while (getchar() != EOF) {
        }
    }
    return 0;
}
