/* What fork shares: a file opened and written before the fork (one open
   file description, one offset, for parent and child), a pipe made
   non-blocking with bytes in it, and a file the child opens again on its
   own (a description of its own, its own offset). Then both wait on
   standard input until it ends, so that the kernel's tables can be read
   while they hold. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int file = open("shared.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644); /* fd 3 */
    write(file, "hello", 5);
    int pipe_fds[2];
    pipe2(pipe_fds, O_NONBLOCK); /* fds 4 and 5 */
    write(pipe_fds[1], "abc", 3);
    char byte;
    if (fork() == 0) {
        open("shared.txt", O_RDONLY); /* fd 6 */
        checkpoint();
        read(0, &byte, 1);
        _exit(0);
    }
    checkpoint();
    read(0, &byte, 1);
    wait(NULL);
    return 0;
}
