/* Descriptors marked close-on-exec four ways, then an exec in the child:
   the new program holds none of them; the parent's read sees end of data. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int marked[2], kept[2];
    pipe2(marked, O_CLOEXEC);
    pipe(kept);
    fcntl(kept[0], F_SETFD, FD_CLOEXEC);
    dup3(kept[1], 10, O_CLOEXEC);
    open("/dev/null", O_RDONLY | O_CLOEXEC);
    checkpoint();
    if (fork() == 0) {
        execl("/bin/true", "true", (char*)NULL);
        _exit(127);
    }
    close(marked[1]);
    checkpoint();
    char c;
    read(marked[0], &c, 1);
    wait(NULL);
    return 0;
}
