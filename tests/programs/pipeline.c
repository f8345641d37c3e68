/* ls / | wc -l, built by hand: two children joined by a pipe, the parent
   closing both ends and waiting for both. */
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int fds[2];
    pipe(fds);
    if (fork() == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        checkpoint();
        execlp("ls", "ls", "/", (char*)NULL);
        _exit(127);
    }
    if (fork() == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        checkpoint();
        execlp("wc", "wc", "-l", (char*)NULL);
        _exit(127);
    }
    close(fds[0]);
    close(fds[1]);
    checkpoint();
    wait(NULL);
    wait(NULL);
    return 0;
}
