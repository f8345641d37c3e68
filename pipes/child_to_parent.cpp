// child_to_parent: the child writes a greeting into a pipe and ends; the
// parent waits for it first and only then reads. The ten bytes wait in the
// pipe meanwhile: they fit in its buffer, so the child's write never blocks.
#include <err.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    int fds[2]; // fds[0] reads, fds[1] writes
    if (pipe(fds) == -1)
        err(1, "pipe");

    switch (fork()) {
    case -1:
        err(1, "fork");

    case 0: { // child
        close(fds[0]); // the child only writes
        puts("El hijo escribe en el PIPE ");
        const char message[] = "Hola padre";
        if (write(fds[1], message, sizeof message - 1) == -1) // ten bytes, no NUL
            err(1, "write");
        return 0;
    }

    default: { // parent
        close(fds[1]); // the parent only reads
        if (wait(nullptr) == -1)
            err(1, "wait");
        puts("El padre lee el PIPE");
        char message[10 + 1];
        ssize_t n = read(fds[0], message, 10);
        if (n == -1)
            err(1, "read");
        message[n] = '\0'; // what came through the pipe carries no NUL
        printf("\t Mensaje leído del pipe: %s \n", message);
        return 0;
    }
    }
}
