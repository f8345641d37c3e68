/* A server and its client over a Unix socket, and a counter beside it:
   the child connects and sends, then adds one to an eventfd; the parent
   accepts, reads both. */
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"

int main(void)
{
    struct sockaddr_un address = {.sun_family = AF_UNIX, .sun_path = "server.sock"};
    int counter = eventfd(0, 0);
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(address.sun_path);
    bind(server, (struct sockaddr*)&address, sizeof address);
    listen(server, 1);
    if (fork() == 0) {
        int client = socket(AF_UNIX, SOCK_STREAM, 0);
        connect(client, (struct sockaddr*)&address, sizeof address);
        write(client, "ping", 4);
        checkpoint();
        uint64_t one = 1;
        write(counter, &one, sizeof one);
        return 0;
    }
    int connection = accept(server, NULL, NULL);
    char buffer[8];
    read(connection, buffer, sizeof buffer);
    uint64_t count;
    read(counter, &count, sizeof count);
    checkpoint();
    wait(NULL);
    unlink(address.sun_path);
    return 0;
}
