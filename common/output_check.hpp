// Standard output that is never lost without a word. A lesson's text goes
// through stdio's buffer, which is written later (at a line end on a
// terminal, every 4 KiB into a file or a pipe, at exit): a failed write
// would go unseen, and the program would end with status 0 although what
// it printed never arrived (a full disk, a closed terminal). These checks
// turn such a failure into one line, "<program>: write error: <reason>",
// and status 1, as the GNU tools do. They never flush early: the lessons
// about buffering keep their behaviour. Text lost on purpose (at exec, at
// death by a signal) stays lost and silent.
#pragma once

#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// "<program>: write error: <reason>", then status 1. It may run inside
// exit's own handlers, where exit must not be called again, and nothing
// is left to flush: hence _exit.
[[noreturn]] inline void output_failed(int error)
{
    warnx("write error: %s", strerror(error != 0 ? error : EIO));
    _exit(1);
}

// At a normal end (a return from main, or exit), the text still buffered
// is written, as the end would write it, and checked: if that fails, or an
// earlier write failed, the program ends with the line and status 1. A
// child inherits the check and reports for itself.
inline void check_output_at_exit()
{
    (void)atexit([] {
        if (fflush(stdout) != 0)
            output_failed(errno);
        if (ferror(stdout))
            output_failed(EIO); // failed earlier; its reason is gone
    });
}

// Once per round of a loop that never ends, right after its printing:
// stops the program at the first failed write, rather than printing into
// nothing for ever.
inline void check_output()
{
    if (ferror(stdout))
        output_failed(errno);
}
