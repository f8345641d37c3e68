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

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "output_check.hpp"

// One integer from standard input, taken as scanf("%d") takes it (blanks
// skipped, an optional sign, then digits) but kept as text first, so that
// a number too large for an int is reported rather than silently turned
// into another. Ends the program when there is no such number to read.
static int read_number(int already_read)
{
    char sign[2] = "";
    char digits[64] = ""; // longer than any int, leading zeros aside
    int got = scanf(" %1[-+]", sign);
    if (got != EOF)
        got = scanf("%63[0-9]", digits);
    if (got == EOF && ferror(stdin))
        err(1, "standard input");
    if (got != 1)
        errx(1, "expected five integers, read %d", already_read);

    // A full buffer may leave digits behind: they belong to this number.
    const char* more = "";
    if (digits[62] != '\0' && scanf("%*[0-9]") != EOF)
        more = "...";
    errno = 0;
    long long magnitude = strtoll(digits, nullptr, 10);
    long long value = sign[0] == '-' ? -magnitude : magnitude;
    if (errno == ERANGE || *more != '\0' || value < INT_MIN || value > INT_MAX)
        errx(1, "%s%s%s: out of range", sign, digits, more);
    return static_cast<int>(value);
}

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
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
            numbers[i] = read_number(i);
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
