/* waitid with WNOWAIT reports that a child ended and leaves it a zombie:
   only the waitpid after it collects the child. */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    pid_t child = fork();
    if (child == 0)
        _exit(5);
    siginfo_t info;
    waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT);
    checkpoint(); /* the child is still a zombie */
    int status;
    waitpid(child, &status, 0);
    checkpoint();
    return 0;
}
