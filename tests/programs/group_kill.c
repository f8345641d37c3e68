/* A process group killed at once: a child leads a group of its own, with
   a child of its own in it; the parent sends SIGTERM to the group. */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    pid_t leader = fork();
    if (leader == 0) {
        setpgid(0, 0);
        if (fork() == 0) {
            pause();
            return 0;
        }
        pause();
        return 0;
    }
    setpgid(leader, leader); /* as a shell does, on both sides */
    usleep(300000);          /* time enough for both to reach pause, even on a busy machine */
    checkpoint();
    kill(-leader, SIGTERM);
    waitpid(leader, NULL, 0);
    return 0;
}
