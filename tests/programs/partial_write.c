/* A non-blocking write of 70000 bytes into an empty pipe: it moves the
   pipe's 65536 and returns that, while other processes' lines cut it in
   two in the trace.
   (Shrunk from the exercise of seed 40298, tests/oracle/generate.py.) */
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
    pid_t c1 = fork();
    if (c1 == 0) {
        pause();
        _exit(0);
    }
    pipe2(p, O_CLOEXEC | O_NONBLOCK); /* 3 reads, 4 writes */
    pid_t c2 = fork();
    if (c2 == 0) {
        pid_t c3 = fork();
        if (c3 == 0) {
            pause();
            _exit(0);
        }
        pid_t c4 = fork();
        if (c4 == 0) {
            pause();
            _exit(0);
        }
        write(4, data, 70000);
        kill(c4, SIGKILL);
        waitpid(c4, &status, 0);
        kill(c3, SIGKILL);
        waitpid(c3, &status, 0);
        checkpoint();
        _exit(0);
    }
    waitpid(c2, &status, 0);
    kill(c1, SIGINT);
    waitpid(c1, &status, 0);
    checkpoint();
    return 0;
}
