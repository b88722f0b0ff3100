/* A program of a user of the installed library: built against the
 * installed header and library only. */
#include <sorvik.h>
#include <stdio.h>

int main(void) {
    const int32_t count = GetControllableProcessNum();
    printf("records %d\n", (int)count);
    for (int32_t i = 0; i < count; ++i)
        printf("%s permit %d\n", GetProcessNameAt(i), (int)GetProcessPermitExeCountAt(i));
    return 0;
}
