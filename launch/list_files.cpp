// list_files: announces itself, then turns into `/usr/bin/ls -l` with
// execv: same pid, same descriptors, same folder, another program. On a
// terminal the announcement shows before the listing; into a file or a
// pipe it is lost, still in the output buffer of the image that execv
// replaced.
#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    printf("Ejemplo de uso de execv():");

    char path[] = "/usr/bin/ls";
    char option[] = "-l";
    char* argv[3] = {path, option, nullptr}; // the vector ends with a null entry

    puts("Los archivos en el directorio son:");
    execv(path, argv); // no flush first, no PATH search; the environment goes along

    // Reached only when the exec failed.
    const int failure = errno;
    puts("Esto no se ejecuta !!!");
    errno = failure;
    err(1, "execv %s", path);
}
