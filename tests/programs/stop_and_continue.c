/* A child stopped and continued while its parent watches with waitpid;
   another child polled with WNOHANG, then killed; the first collected
   through waitid; the parent ends with exit(-1). */
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    pid_t stopper = fork();
    if (stopper == 0) {
        raise(SIGSTOP);
        _exit(3);
    }
    int status;
    waitpid(stopper, &status, WUNTRACED);
    kill(stopper, SIGCONT);
    waitpid(stopper, &status, WCONTINUED);
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
