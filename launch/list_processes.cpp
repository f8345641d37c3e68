// list_processes: announces itself, then turns into `ps -l` with execl.
// The listing shows a line for `ps` with the very pid this program had:
// exec replaces the program, not the process. Into a file or a pipe the
// announcement is lost with the old image.
#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    puts("Inicio del programa");
    execl("/usr/bin/ps", "ps", "-l", static_cast<char*>(nullptr)); // a null ends the list

    // Reached only when the exec failed.
    const int failure = errno;
    puts("Fin del programa");
    errno = failure;
    err(1, "execl /usr/bin/ps");
}
