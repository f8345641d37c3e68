// The named channel between phrase_classifier and its writers, and the
// steps every writer takes on it.
//
// The channel is a FIFO in the working directory: the classifier creates it
// and reads it, a writer opens it, writes one phrase and closes it. Both
// sides name it by this relative path, so they must run in the same folder.
#pragma once

#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

constexpr char kChannel[] = "FIFOVEK";

// Sends one phrase through `channel`: open (which waits for a reader),
// announce, one write of the text without its NUL, close. Returns the exit
// status for main.
inline int send_phrase(const char* channel, const char* phrase)
{
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
    if (close(fd) == -1)
        err(1, "close %s", channel);
    return 0;
}
