/* A child opens a file, writes into it and sends its descriptor to its
   parent through a socket pair (SCM_RIGHTS), then closes its own: the
   parent's new descriptor points at the same open file description, its
   offset where the child left it. */
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

union control {
    struct cmsghdr header;
    char space[CMSG_SPACE(sizeof(int))];
};

int main(void)
{
    int ends[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
    char byte = 'f';
    struct iovec iov = {.iov_base = &byte, .iov_len = 1};
    union control control;
    struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control.space,
                         .msg_controllen = sizeof control.space};
    pid_t child = fork();
    if (child == 0) {
        int file = open("given.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        write(file, "hello", 5);
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &file, sizeof file);
        sendmsg(ends[1], &msg, 0);
        close(file);
        checkpoint(); /* the description lives on in the message */
        _exit(0);
    }
    recvmsg(ends[0], &msg, 0);
    int got;
    memcpy(&got, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof got);
    checkpoint();
    write(got, " world", 6); /* after "hello": the offset is shared */
    checkpoint();
    waitpid(child, NULL, 0);
    return 0;
}
