/* A write of more than a pipe holds waits for the reader to make room: the
   parent writes 100000 bytes into a pipe that holds 65536, and waits in
   its write until its child, after a nap, reads. Then the same with a
   pipe made smaller (F_SETPIPE_SZ): 8192 bytes fill it. The child's reads
   find their bytes there: they do not wait. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "checkpoint.h"

static char buf[100000];

static void drain_later(int p[2])
{
    if (fork() == 0) {
        close(p[1]);
        struct timespec nap = {0, 100000000};
        nanosleep(&nap, 0);
        while (read(p[0], buf, sizeof buf) > 0) {
        }
        _exit(0);
    }
    close(p[0]);
}

int main(void)
{
    int p[2];
    pipe(p);
    drain_later(p);
    write(p[1], buf, sizeof buf);
    close(p[1]);
    wait(0);
    checkpoint();

    pipe(p);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    drain_later(p);
    write(p[1], buf, 8192);
    close(p[1]);
    wait(0);
    return 0;
}
