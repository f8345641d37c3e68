/* A descriptor passed through a stream socket, and a recv that has no
   room for it: the kernel reads on into the byte that carries it, and
   closes the descriptor. The pipe's write end, whose last reference was
   in flight, is closed everywhere, and the next descriptor passed is the
   one a recvmsg takes. */
#define _GNU_SOURCE
#include <sys/socket.h>
#include <unistd.h>

#include "checkpoint.h"
#include "passing.h"

int main(void)
{
    int s[2], p[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, s);
    pipe(p);
    write(s[0], "a", 1);
    give(s[0], p[1]);
    close(p[1]);
    checkpoint();
    recv(s[1], in, 10, 0);
    checkpoint();
    give(s[0], p[0]);
    take(s[1]);
    checkpoint();
    read(p[0], in, 10);
    return 0;
}
