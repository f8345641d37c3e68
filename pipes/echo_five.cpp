// echo_five: parent and child set up three pipes, each closing the ends
// that belong to the other, though no byte ever travels through them;
// meanwhile the child echoes five integers typed on standard input.
// While the child waits for input, compare `ls -l /proc/<pid>/fd` of the
// two processes: each holds exactly the three ends the layout gives it.
//
//   pipe  child keeps  parent keeps  direction
//   A     write end    read end      child to parent
//   B     read end     write end     parent to child
//   C     read end     write end     parent to child
#include <err.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main()
{
    int a[2], b[2], c[2]; // [0] reads, [1] writes
    if (pipe(a) == -1 || pipe(b) == -1 || pipe(c) == -1)
        err(1, "pipe");

    switch (fork()) {
    case -1:
        err(1, "fork");

    case 0: { // child
        close(a[0]);
        close(b[1]);
        close(c[1]);
        int numbers[5];
        for (int i = 0; i < 5; ++i) {
            if (scanf("%d", &numbers[i]) != 1)
                errx(1, "expected five integers, read %d", i);
            printf("%d", numbers[i]); // no separator, no line end
        }
        return 0;
    }

    default: { // parent
        close(a[1]);
        close(b[0]);
        close(c[0]);
        int status = 0;
        if (wait(&status) == -1)
            err(1, "wait");
        // The child's result is the program's, so the shell sees a failure.
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    }
}
