/* A parent that collects three children as they end, in a loop of
   waitpid with WNOHANG, sleeping between its questions. */
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    for (int i = 0; i < 3; ++i)
        if (fork() == 0) {
            usleep(20000 * (i + 1));
            return i;
        }
    for (int left = 3; left > 0;) {
        if (waitpid(-1, NULL, WNOHANG) > 0)
            --left;
        else
            usleep(5000);
    }
    return 0;
}
