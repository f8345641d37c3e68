/* A learner's exercise: the child becomes ls -l /, its output through a
   pipe to the parent, which counts it. Built with -g, as the learner's
   would be: traced with lines, its own calls have their lines and those of
   ls (no debug information) none. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int fd[2];
    pipe(fd);
    if (fork() == 0) {
        dup2(fd[1], 1);
        close(fd[0]);
        close(fd[1]);
        execlp("ls", "ls", "-l", "/", (char*)NULL);
        _exit(127);
    }
    close(fd[1]);
    char buffer[4096];
    long total = 0;
    for (ssize_t n; (n = read(fd[0], buffer, sizeof buffer)) > 0;)
        total += n;
    wait(NULL);
    printf("%ld bytes from ls\n", total);
    return 0;
}
