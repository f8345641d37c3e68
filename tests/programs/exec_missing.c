/* An exec of a program that does not exist: the search along PATH fails,
   the child says why and ends with 127, as a shell does. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    if (fork() == 0) {
        execlp("no_such_program", "no_such_program", (char*)NULL);
        perror("no_such_program");
        _exit(127);
    }
    int status;
    wait(&status);
    return WEXITSTATUS(status) == 127 ? 0 : 1;
}
