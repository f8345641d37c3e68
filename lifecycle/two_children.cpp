// two_children: two children print their pids and end at once; the parent
// never collects them with wait and reports itself every three seconds,
// for ever. While it runs, both children stay in the process table as
// defunct (state Z): `ps -o pid,ppid,stat,cmd --ppid <parent pid>`.
// Stopping the parent passes them to the adopting process, which collects
// them.
#include <err.h>
#include <unistd.h>

#include <cstdio>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    pid_t pid = 0;
    for (int starts = 2; starts > 0; --starts) {
        pid = fork();
        if (pid == -1)
            err(1, "fork");
        if (pid == 0)
            break; // a child starts no children of its own
    }

    if (pid == 0) { // child
        printf("proceso hijo pid = %d ; proceso padre pid = %d\n", getpid(), getppid());
        return 0;
    }

    for (;;) { // parent
        sleep(3);
        printf("Soy el proceso padre con pid= %d\n", getpid());
        check_output();
    }
}
