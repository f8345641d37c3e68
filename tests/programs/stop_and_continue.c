/* A child stopped and continued while its parent watches with waitpid;
   another child polled with WNOHANG, then killed; the first collected
   through waitid; the parent ends with exit(-1). The first child waits
   for a byte before it ends, so that its parent sees it continued first. */
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int go[2];
    pipe(go);
    pid_t stopper = fork();
    if (stopper == 0) {
        raise(SIGSTOP);
        char byte;
        read(go[0], &byte, 1);
        _exit(3);
    }
    int status;
    waitpid(stopper, &status, WUNTRACED);
    kill(stopper, SIGCONT);
    waitpid(stopper, &status, WCONTINUED);
    write(go[1], "x", 1);
    siginfo_t info;
    waitid(P_PID, (id_t)stopper, &info, WEXITED);

    pid_t sleeper = fork();
    if (sleeper == 0) {
        pause();
        _exit(0);
    }
    for (int i = 0; i < 5; ++i)
        waitpid(sleeper, &status, WNOHANG);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, &status, 0);
    exit(-1);
}
