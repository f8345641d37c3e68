/* A child blocked in read on a pipe whose write end its parent still
   holds: the parent kills it. Its read never returns; nothing was read and
   no end of data came. */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int fds[2];
    char c;
    pipe(fds);
    pid_t child = fork();
    if (child == 0) {
        close(fds[1]);
        read(fds[0], &c, 1);
        return 0;
    }
    close(fds[0]);
    checkpoint();
    usleep(100000);
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    return 0;
}
