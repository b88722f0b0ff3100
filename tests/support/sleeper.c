/* Does nothing until it is killed; tests start copies of it under the names
 * of controlled programs. With the argument "leader-exits" its first thread
 * ends and leaves a second one waiting, as a program does whose main thread
 * returns through pthread_exit. */
#include <pthread.h>
#include <string.h>
#include <unistd.h>

static void *waitForever(void *unused) {
    (void)unused;
    for (;;) pause();
    return NULL;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "leader-exits") == 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, waitForever, NULL) != 0) return 1;
        pthread_exit(NULL);
    }
    for (;;) pause();
}
