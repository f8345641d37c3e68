// The named channel between phrase_classifier and its writers, and the
// steps every writer takes on it.
//
// The channel is a FIFO in the working directory: the classifier creates it
// and reads it, a writer opens it, writes one phrase and closes it. Both
// sides name it by this relative path, so they must run in the same folder.
#pragma once

#include <err.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "output_check.hpp"

constexpr char kChannel[] = "FIFOVEK";

// Sends one phrase through `channel`: open (which waits for a reader),
// announce, one write of the text without its NUL, wait until it has been
// read, close. Returns the exit status for main.
inline int send_phrase(const char* channel, const char* phrase)
{
    check_output_at_exit(); // its line must arrive, or it fails
    // Blocks until a reader has the FIFO open.
    int fd = open(channel, O_WRONLY);
    if (fd == -1)
        err(1, "%s", channel);

    // Anything else under that name (a regular file, a link to one) would be
    // overwritten in place: refuse it.
    struct stat st {};
    if (fstat(fd, &st) == -1)
        err(1, "%s", channel);
    if (!S_ISFIFO(st.st_mode))
        errx(1, "%s: not a FIFO", channel);

    puts("Mandando  informacion  al  FIFO...");

    // One write: the reader sees the phrase end when we close.
    // If the reader has gone, SIGPIPE ends this process here.
    if (write(fd, phrase, strlen(phrase)) == -1)
        err(1, "write %s", channel);

    // Delivered only once no byte is left unread in the channel. The kernel
    // throws away what is unread when the last holder of a FIFO closes it, so
    // we hold it until then: a reader that closed just as we wrote finds us
    // still here when it opens again, and takes the phrase.
    timespec pause{0, 100'000}; // 0.1 ms, doubling up to 0.1 s: no spinning
    for (;;) {
        int unread = 0;
        if (ioctl(fd, FIONREAD, &unread) == -1)
            err(1, "%s", channel);
        if (unread == 0)
            break;
        nanosleep(&pause, nullptr);
        pause.tv_nsec = std::min(pause.tv_nsec * 2, 100'000'000L);
    }

    if (close(fd) == -1)
        err(1, "close %s", channel);
    return 0;
}
