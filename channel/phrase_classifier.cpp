// phrase_classifier: the server end of FIFOVEK. For every writer it echoes
// the phrase received, byte by byte, and says whether it is made of
// numbers, of letters, or of both. It never ends on its own: stop it with
// Ctrl-C. While no writer is there, it sleeps in open(); `ps -l` shows it
// in state S.
#include <sys/file.h>

#include <cctype>
#include <cerrno>
#include <cstdint>

#include "channel.hpp"
#include "output_check.hpp"

// One byte of the phrase: 1, or 0 once the last writer has closed. An
// interrupted read is tried again; any other failure ends the program,
// since the channel will never deliver that phrase.
static ssize_t read_byte(int fd, unsigned char* byte)
{
    for (;;) {
        ssize_t n = read(fd, byte, 1);
        if (n != -1)
            return n;
        if (errno != EINTR)
            err(1, "read %s", kChannel);
    }
}

int main()
{
    check_output_at_exit(); // what it printed must arrive, or it fails
    // 64-bit, so that a phrase of 2 GiB or more is still judged right.
    std::int64_t non_digits = 0;
    std::int64_t bytes = 0;

    // Two classifiers on one channel would split every phrase between them.
    // The lock is on the working folder, where the channel lives; the kernel
    // drops it when this process ends, however it ends.
    int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder == -1)
        err(1, "working folder");
    if (flock(folder, LOCK_EX | LOCK_NB) == -1) {
        if (errno == EWOULDBLOCK)
            errx(1, "%s: already served by another classifier", kChannel);
        err(1, "lock %s", kChannel);
    }

    // 010666: the FIFO type bit and read-write for everyone (less the
    // umask). A channel left by an earlier run is simply reused.
    if (mkfifo(kChannel, 010666) == -1 && errno != EEXIST)
        err(1, "mkfifo %s", kChannel);

    for (;;) {
        // Blocks until a writer opens the channel.
        int fd = open(kChannel, O_RDONLY);
        if (fd == -1)
            err(1, "%s", kChannel);

        // A regular file or a folder under that name would never block:
        // this loop would spin through it for ever.
        struct stat st {};
        if (fstat(fd, &st) == -1)
            err(1, "%s", kChannel);
        if (!S_ISFIFO(st.st_mode))
            errx(1, "%s: not a FIFO", kChannel);

        // One byte per read: the phrase has no length and no terminator.
        // It ends when read returns 0, once the last writer has closed.
        unsigned char byte = 0;
        ssize_t n = read_byte(fd, &byte);
        printf("OBTENIENDO  Informacion...");
        while (n == 1) {
            putchar(byte); // the echo comes before the test
            if (!isdigit(byte))
                ++non_digits;
            ++bytes;
            n = read_byte(fd, &byte);
        }

        // Closed as soon as the phrase has ended: a writer that opens the
        // channel before this close is read only after the next open, so
        // the gap is kept as short as it can be.
        if (close(fd) == -1)
            err(1, "close %s", kChannel);

        // Up to two non-digits (a line end, a blank) still count as numbers.
        if (non_digits <= 2)
            puts("Esta frase esta compuesto de numeros");
        else if (non_digits < bytes)
            puts("Esta frase esta compuesto de numeros y letras");
        else
            puts("Esta frase esta compuesto de letras");

        // Each phrase is judged on its own.
        non_digits = 0;
        bytes = 0;
        check_output(); // a verdict that cannot be written stops it
    }
}
