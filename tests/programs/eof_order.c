/* The end of data comes after the last close of the write end: the parent
   reads until read returns 0, which only the child's end can cause. */
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int fds[2];
    pipe(fds);
    if (fork() == 0) {
        close(fds[0]);
        write(fds[1], "x\n", 2);
        checkpoint();
        return 3;
    }
    close(fds[1]);
    checkpoint();
    char buffer[8];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }
    wait(NULL);
    return 0;
}
