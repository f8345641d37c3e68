/* The same steps as send_digits, in plain C: the cost to match. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(void)
{
    char phrase[] = "1000293\n";
    int fd = open("FIFOVEK", O_WRONLY);
    struct stat st;
    fstat(fd, &st);
    puts("Mandando  informacion  al  FIFO...");
    write(fd, phrase, strlen(phrase));
    close(fd);
    return 0;
}
