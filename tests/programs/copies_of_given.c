/* Copies of the descriptors the shell gave: fd 3 a copy of standard
   output, fd 5 of standard input, standard error marked close-on-exec.
   The copies share the given descriptions, which the trace does not show. */
#include <fcntl.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int copy = dup(1);
    write(copy, "hi\n", 3);
    dup2(0, 5);
    fcntl(2, F_SETFD, FD_CLOEXEC);
    checkpoint();
    close(copy);
    checkpoint();
    return 0;
}
