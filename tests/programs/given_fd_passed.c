/* A descriptor the shell gave (standard error) passed through a socket pair
   to a child: the child's new descriptor shares that given description,
   written to only.
   (Shrunk from the exercise of seed 40094, tests/oracle/generate.py.) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"
#include "passing.h"

#ifndef HELPER
#define HELPER "oracle_helper"
#endif


int main(void)
{
    int p[2];
    int status;
    siginfo_t info;
    memset(data, 'x', sizeof data);
    (void)p;
    (void)status;
    (void)info;
    (void)in;
    socketpair(AF_UNIX, SOCK_DGRAM, 0, p); /* 3, 4 */
    give(4, 2);
    pid_t c1 = fork();
    if (c1 == 0) {
        take(3); /* 5 */
        checkpoint();
        _exit(1);
    }
    waitid(P_PID, (id_t)c1, &info, WEXITED | WNOWAIT); /* a zombie until waitpid */
    waitpid(c1, &status, 0);
    checkpoint();
    return 0;
}
