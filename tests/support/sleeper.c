/* Does nothing until it is killed; tests start copies of it under the names
 * of controlled programs. */
#include <unistd.h>

int main(void) {
    for (;;) pause();
}
