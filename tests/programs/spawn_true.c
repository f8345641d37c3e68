/* posix_spawn: a child that borrows its parent's memory until it execs. */
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

int main(void)
{
    pid_t child;
    char* argv[] = {"true", NULL};
    posix_spawn(&child, "/bin/true", NULL, NULL, argv, environ);
    int status;
    waitpid(child, &status, 0);
    return 0;
}
