/* Two writers into a pipe that no one reads: the first dies of SIGPIPE;
   the second ignores the signal, and its write fails with EPIPE. */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int fds[2];
    pipe(fds);
    close(fds[0]);
    checkpoint();
    if (fork() == 0) {
        write(fds[1], "x", 1);
        return 0;
    }
    wait(NULL);
    if (fork() == 0) {
        signal(SIGPIPE, SIG_IGN);
        checkpoint();
        if (write(fds[1], "x", 1) == -1)
            return 3;
        return 0;
    }
    wait(NULL);
    return 0;
}
