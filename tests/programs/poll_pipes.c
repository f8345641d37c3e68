/* poll on two pipes: the child writes into the second after a while; the
   parent waits in poll, then reads what became readable. The child keeps
   the first pipe's write end until the parent has read: its end would make
   that pipe readable too (end of data). */
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int a[2], b[2];
    pipe(a);
    pipe(b);
    pid_t child = fork();
    if (child == 0) {
        usleep(200000); /* the parent is in poll by then, even on a busy machine */
        write(b[1], "x", 1);
        pause(); /* until the parent has read */
        return 0;
    }
    close(a[1]);
    close(b[1]);
    struct pollfd fds[2] = {{.fd = a[0], .events = POLLIN}, {.fd = b[0], .events = POLLIN}};
    poll(fds, 2, -1);
    char c;
    read(b[0], &c, 1);
    kill(child, SIGTERM);
    wait(NULL);
    return 0;
}
