/* A socket pair between a parent and its child: the child sends, the
   parent answers, each through its own end. */
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int ends[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
    char buffer[8];
    if (fork() == 0) {
        close(ends[0]);
        write(ends[1], "ping", 4);
        checkpoint();
        read(ends[1], buffer, sizeof buffer);
        return 0;
    }
    close(ends[1]);
    read(ends[0], buffer, sizeof buffer);
    write(ends[0], "pong", 4);
    checkpoint();
    wait(NULL);
    return 0;
}
