/* A socket pair made non-blocking with SOCK_NONBLOCK, and a socket with
   its own flag: both ends' descriptions carry O_NONBLOCK, shared by the
   child after its fork; its receive on an empty end fails with EAGAIN. */
#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int ends[2];
    socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, ends);
    socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    pid_t child = fork();
    if (child == 0) {
        char buffer[8];
        recv(ends[0], buffer, sizeof buffer, 0); /* EAGAIN */
        checkpoint();
        _exit(0);
    }
    waitpid(child, NULL, 0);
    checkpoint();
    return 0;
}
