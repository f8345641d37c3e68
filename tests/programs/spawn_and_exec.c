/* posix_spawn with file actions, an exec along PATH and a child's _exit:
   each step of the run has its place in the source, under the line that
   made it or caused it, or among those no line made. */
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(void)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, 0);
    pid_t spawned;
    char* argv[] = {"echo", "spawned", NULL};
    posix_spawnp(&spawned, "echo", &actions, NULL, argv, environ);
    waitpid(spawned, NULL, 0);
    if (fork() == 0) {
        execlp("echo", "echo", "exec'd", (char*)NULL);
        _exit(127);
    }
    wait(NULL);
    if (fork() == 0)
        _exit(5);
    wait(NULL);
    return 0;
}
