/* A write through O_APPEND lands at the end of the file, wherever lseek
   put the offset: the offset after it is the file's size, not the seek's
   place plus the bytes written. */
#include <fcntl.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    int fd = open("log.txt", O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644);
    write(fd, "first\n", 6);
    lseek(fd, 100, SEEK_SET);
    checkpoint(); /* the offset is where the seek put it */
    write(fd, "second\n", 7);
    checkpoint(); /* 13: the file's end, not 107 */
    return 0;
}
