/* A write of more than the pipe holds, looked at while it waits: the
   child reads it bit by bit, with a checkpoint between reads. The
   parent's write line is still open in the trace while it waits (nothing
   else was written since), and how many of its bytes are in the pipe is
   the kernel's to say: the tool says "up to". The three bytes before it
   make the kernel's count differ from the pipe's size. */
#define _GNU_SOURCE
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

static char buf[70000];

int main(void)
{
    int p[2];
    pipe(p);
    write(p[1], "abc", 3);
    if (fork() == 0) {
        close(p[1]);
        checkpoint();
        read(p[0], buf, 100);
        checkpoint();
        read(p[0], buf, 5000);
        checkpoint();
        read(p[0], buf, 8192);
        checkpoint();
        while (read(p[0], buf, sizeof buf) > 0) {
        }
        _exit(0);
    }
    close(p[0]);
    write(p[1], buf, sizeof buf);
    close(p[1]);
    wait(0);
    checkpoint();
    return 0;
}
