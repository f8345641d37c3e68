/* A thread other than the first calls execve: the other threads end, and
   the new program goes on in the process, under its pid. */
#include <pthread.h>
#include <unistd.h>

static void* become_true(void* unused)
{
    (void)unused;
    execl("/bin/true", "true", (char*)NULL);
    return NULL;
}

int main(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, become_true, NULL);
    pause();
    return 0;
}
