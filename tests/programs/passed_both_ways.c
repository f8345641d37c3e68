/* Descriptors passed both ways through one socket pair: each waits at the
   end it was sent to, and the receiver gets the one sent to it.
   (Shrunk from the exercise of seed 40299, tests/oracle/generate.py.) */
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
    open("f2.txt", O_RDWR | O_CREAT, 0644); /* 3 */
    pid_t c1 = fork();
    if (c1 == 0) {
        pause();
        _exit(0);
    }
    socketpair(AF_UNIX, SOCK_DGRAM, 0, p); /* 4, 5 */
    give(4, 4);
    kill(c1, SIGKILL);
    waitpid(c1, &status, 0);
    give(5, 3);
    pid_t c2 = fork();
    if (c2 == 0) {
        pause();
        _exit(0);
    }
    take(4); /* 6 */
    kill(c2, SIGKILL);
    waitpid(c2, &status, 0);
    checkpoint();
    return 0;
}
