/* The same steps as echo_five, in plain C: the cost to match. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int a[2], b[2], c[2];
    pipe(a);
    pipe(b);
    pipe(c);
    if (fork() == 0) {
        close(a[0]);
        close(b[1]);
        close(c[1]);
        int numbers[5];
        for (int i = 0; i < 5; ++i) {
            if (scanf("%d", &numbers[i]) != 1)
                return 1;
            printf("%d", numbers[i]);
        }
        return 0;
    }
    close(a[1]);
    close(b[0]);
    close(c[0]);
    int status;
    wait(&status);
    return WEXITSTATUS(status);
}
