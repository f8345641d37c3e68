// parent_exit_watch: the child reports its parent's pid every second, for
// ever; the parent lives ten seconds and ends without waiting for it. Once
// the parent is gone the child is adopted, and the pid it reports changes
// to its new parent's (pid 1, or the nearest "subreaper" such as a session
// manager). The child outlives the shell's prompt: stop it with
// `kill <pid>`. From a second terminal: `ps -o pid,ppid,stat,cmd -C parent_exit_watch`.
#include <err.h>
#include <unistd.h>

#include <cstdio>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    switch (fork()) {
    case -1:
        err(1, "fork");

    case 0: // child
        for (;;) {
            printf("Soy un proceso hijo y el pid de mi padre es = %d\n", getppid()); // asked anew
            check_output();
            sleep(1);
        }

    default: // parent: no wait, so the child is left behind
        printf("Soy el proceso padre con pid = %d\n", getpid());
        sleep(10);
        puts("El proceso padre termina");
        return 0;
    }
}
