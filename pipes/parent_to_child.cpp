// parent_to_child: the parent writes a greeting into a pipe for its child,
// which reads it (waiting in read if it gets there first); the parent then
// waits for the child to end. On a terminal the two first lines come in
// either order; into a file, each process's lines are written when it
// ends, so the child's come first.
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
        close(fds[1]); // the child only reads
        puts("El hijo se dispone a leee del PIPE ");
        char message[10 + 1];
        ssize_t n = read(fds[0], message, 10); // blocks until the parent writes
        if (n == -1)
            err(1, "read");
        message[n] = '\0'; // never print past the bytes received
        printf("\t Mensaje leido del pipe: %s \n", message);
        return 0;
    }

    default: { // parent
        close(fds[0]); // the parent only writes
        puts("El padre escribe en el PIPE...");
        const char message[] = "Hola hijo";
        if (write(fds[1], message, sizeof message) == -1) // ten bytes, NUL included
            err(1, "write");
        if (wait(nullptr) == -1)
            err(1, "wait");
        return 0;
    }
    }
}
