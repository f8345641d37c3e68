/* Descriptors passed through a socket (SCM_RIGHTS), as the generated
   exercises do it: one byte, and with it one descriptor. Uses the
   exercise's own `data` and `in` buffers. */
#ifndef PASSING_H
#define PASSING_H

#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

static char data[70000];
static char in[70000];

/* Room for one descriptor's control message, aligned as one. */
typedef union {
    struct cmsghdr header;
    char space[CMSG_SPACE(sizeof(int))];
} control_space;

/* Sends one byte and, with it, descriptor fd (SCM_RIGHTS). */
__attribute__((unused)) static void give(int sock, int fd)
{
    struct iovec iov = {.iov_base = data, .iov_len = 1};
    control_space control;
    struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control.space,
                         .msg_controllen = sizeof control.space};
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    sendmsg(sock, &msg, 0);
}

/* Receives one byte and the descriptor that came with it. */
__attribute__((unused)) static void take(int sock)
{
    struct iovec iov = {.iov_base = in, .iov_len = 1};
    control_space control;
    struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control.space,
                         .msg_controllen = sizeof control.space};
    recvmsg(sock, &msg, 0);
}

#endif
