#include <unistd.h>
#include <stdio.h>
int main(void){ pid_t c=fork(); if(c==0) _exit(0); printf("%d\n",c); fflush(stdout); sleep(3); return 0; }
