/* A FIFO keeps its bytes only while a process has it open: the child
   writes 200 bytes into the FIFO it opened for reading and writing, and
   ends without reading them. When the parent opens the FIFO again, it is
   empty: the kernel dropped them as its last opener closed it. */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    static char data[200];
    mkfifo("fifo1", 0644);
    if (fork() == 0) {
        int fd = open("fifo1", O_RDWR);
        write(fd, data, sizeof data);
        checkpoint();
        _exit(0);
    }
    wait(0);
    open("fifo1", O_RDWR);
    checkpoint();
    unlink("fifo1");
    return 0;
}
