// sleep_ladder: one process with a long, predictable life: sleeps of 10,
// 15, ... 100 seconds (17 minutes 25 seconds in all), each announced first.
// From a second terminal, `ps -o pid,stat,wchan:20,etime,cmd -C sleep_ladder`
// shows it asleep (S) in the kernel. Into a file, the announcements arrive
// only at the end; stopped early by a signal, nothing arrives.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "output_check.hpp"

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    for (int seconds = 10; seconds <= 100; seconds += 5) {
        printf("Me voy a dormir %d segundos \n", seconds);
        check_output();
        sleep(seconds);
    }
    puts("\nFin de programa....");
    exit(0);
}
