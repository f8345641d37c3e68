/* send and write of the same size on one socket: two calls of two names
   on two lines, not one call made twice. */
#include <sys/socket.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int ends[2];
    socketpair(AF_UNIX, SOCK_DGRAM, 0, ends);
    send(ends[1], "abc", 3, 0);
    write(ends[1], "def", 3);
    checkpoint();
    return 0;
}
