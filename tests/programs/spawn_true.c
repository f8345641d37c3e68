/* posix_spawnp: a child that borrows its parent's memory until it execs,
   searching PATH for its program. */
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

int main(void)
{
    pid_t child;
    char* argv[] = {"true", NULL};
    posix_spawnp(&child, "true", NULL, NULL, argv, environ); /* searched along PATH */
    int status;
    waitpid(child, &status, 0);
    return 0;
}
