/* The double fork of a daemon: the child forks a grandchild and ends at
   once; the grandchild waits until it is orphaned and adopted (its parent
   id changes), and writes a line. With an argument, the program first makes itself a
   subreaper: then it adopts the grandchild, and collects it. */
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    (void)argv;
    if (argc > 1)
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (fork() == 0) {
        pid_t middle = getpid();
        if (fork() == 0) {
            while (getppid() == middle)
                usleep(10000);
            printf("adopted by %d\n", getppid());
            return 0;
        }
        return 0;
    }
    wait(NULL);
    if (argc > 1)
        wait(NULL);
    return 0;
}
