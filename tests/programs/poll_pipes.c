/* poll on two pipes: the child writes into the second after a while; the
   parent waits in poll, then reads what became readable. */
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int a[2], b[2];
    pipe(a);
    pipe(b);
    if (fork() == 0) {
        usleep(200000); /* the parent is in poll by then, even on a busy machine */
        write(b[1], "x", 1);
        return 0;
    }
    close(a[1]);
    close(b[1]);
    struct pollfd fds[2] = {{.fd = a[0], .events = POLLIN}, {.fd = b[0], .events = POLLIN}};
    poll(fds, 2, -1);
    char c;
    read(b[0], &c, 1);
    wait(NULL);
    return 0;
}
