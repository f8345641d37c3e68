// date_handoff: a parent hands the current date to its child through an
// anonymous pipe. The parent reads the clock once, before the pipe and the
// child exist; the child prints its own pid and the date it received.
#include <err.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    time_t now = time(nullptr);
    const char* date = ctime(&now); // "Thu Mar  5 07:08:09 2026\n": 26 bytes with its NUL
    if (date == nullptr)
        err(1, "ctime");

    // A fixed block of 100 bytes: the date text and its NUL, then zeros.
    char block[100] = {};
    memcpy(block, date, strlen(date) + 1);

    int fds[2]; // fds[0] reads, fds[1] writes
    if (pipe(fds) == -1)
        err(1, "pipe");

    switch (fork()) {
    case -1:
        err(1, "fork");

    case 0: { // child
        close(fds[1]); // the child only reads
        char received[100];
        ssize_t n = read(fds[0], received, sizeof received);
        if (n == -1)
            err(1, "read");
        // The text ends at its NUL, and never after the bytes received.
        printf("Soy el hijo con el pid %d\nFecha/Hora: %.*s", getpid(), static_cast<int>(n),
               received);
        return 0;
    }

    default: // parent
        close(fds[0]); // the parent only writes
        if (write(fds[1], block, sizeof block) == -1)
            err(1, "write");
        // The shell gets its prompt back only after the child has printed;
        // the child's result is the program's, so a lost date is a failure.
        int status = 0;
        if (wait(&status) == -1)
            err(1, "wait");
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}
