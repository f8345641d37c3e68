/* Memory shared with a child through mmap(MAP_SHARED): the child's write
   is what the parent reads after the wait. A file mapped shared too. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int* shared = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int fd = open("mapped.txt", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ftruncate(fd, 10);
    char* file = mmap(NULL, 10, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (fork() == 0) {
        shared[0] = 42;
        file[0] = 'x';
        checkpoint();
        _exit(0);
    }
    wait(NULL);
    checkpoint();
    int seen = shared[0];
    munmap(file, 10);
    munmap(shared, 4096);
    return seen == 42 ? 0 : 1;
}
