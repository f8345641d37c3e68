/* A child's standard output redirected into a pipe before exec: echo's
   line goes through the pipe to the parent, which prints it. */
#include <stdio.h>
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
        execlp("echo", "echo", "hello", (char*)NULL);
        _exit(127);
    }
    close(fds[1]);
    checkpoint();
    char line[32];
    ssize_t n = read(fds[0], line, sizeof line);
    write(1, line, n > 0 ? (size_t)n : 0);
    wait(NULL);
    return 0;
}
