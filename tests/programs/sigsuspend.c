/* SIGCHLD blocked, then waited for with sigsuspend: the handler runs when
   the child ends, and only then does the parent collect it. */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

static void noted(int signal)
{
    (void)signal;
}

int main(void)
{
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    signal(SIGCHLD, noted);
    if (fork() == 0) {
        usleep(20000);
        return 0;
    }
    sigsuspend(&before);
    wait(NULL);
    return 0;
}
