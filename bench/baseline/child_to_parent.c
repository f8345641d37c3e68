/* The same steps as child_to_parent, in plain C: the cost to match. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int fds[2];
    pipe(fds);
    if (fork() == 0) {
        close(fds[0]);
        puts("El hijo escribe en el PIPE ");
        write(fds[1], "Hola padre", 10);
        return 0;
    }
    close(fds[1]);
    wait(NULL);
    puts("El padre lee el PIPE");
    char message[11];
    ssize_t n = read(fds[0], message, 10);
    message[n] = '\0';
    printf("\t Mensaje le\xc3\xad" "do del pipe: %s \n", message);
    return 0;
}
