/* A family of N processes (the first argument; 1000 without it): the
   parent forks them, each waits in pause until the group is killed. It
   prints "ready" once all are there. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 1000;
    for (int i = 0; i < n; ++i)
        if (fork() == 0) {
            pause();
            _exit(0);
        }
    puts("ready");
    fflush(stdout);
    pause();
    return 0;
}
