/* The same steps as parent_to_child, in plain C: the cost to match. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int fds[2];
    pipe(fds);
    if (fork() == 0) {
        close(fds[1]);
        puts("El hijo se dispone a leee del PIPE ");
        char message[11];
        ssize_t n = read(fds[0], message, 10);
        message[n] = '\0';
        printf("\t Mensaje leido del pipe: %s \n", message);
        return 0;
    }
    close(fds[0]);
    puts("El padre escribe en el PIPE...");
    write(fds[1], "Hola hijo", 10);
    wait(NULL);
    return 0;
}
