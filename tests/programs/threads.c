/* Two threads write into one pipe that the main thread reads. */
#include <pthread.h>
#include <unistd.h>

static int fds[2];

static void* writer(void* text)
{
    write(fds[1], text, 2);
    return NULL;
}

int main(void)
{
    pipe(fds);
    pthread_t a, b;
    pthread_create(&a, NULL, writer, "a\n");
    pthread_join(a, NULL);
    pthread_create(&b, NULL, writer, "b\n");
    pthread_join(b, NULL);
    char buffer[4];
    read(fds[0], buffer, sizeof buffer);
    return 0;
}
