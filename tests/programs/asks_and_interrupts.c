/* Datagrams through a socket pair, an lseek that only asks where the
   offset is, and a read on an empty pipe that a signal handler's alarm
   interrupts after 100 ms (no SA_RESTART: it fails with EINTR). */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static void on_alarm(int signal_number)
{
    (void)signal_number;
}

int main(void)
{
    int pair[2], fds[2];
    char buffer[16];
    socketpair(AF_UNIX, SOCK_DGRAM, 0, pair);
    send(pair[0], "datagram", 8, 0);
    recv(pair[1], buffer, sizeof buffer, 0);
    int file = open("notes", O_RDWR | O_CREAT | O_TRUNC, 0644);
    write(file, "abcd", 4);
    lseek(file, 0, SEEK_CUR);
    pipe(fds);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_alarm;
    sigaction(SIGALRM, &action, NULL);
    ualarm(100000, 0);
    read(fds[0], buffer, 1);
    return 0;
}
