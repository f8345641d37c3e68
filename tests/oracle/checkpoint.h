/* A checkpoint: under the kernel harness, the process stops here until the
   harness has read the kernel's view of its family, then goes on. The
   harness sets ORACLE_CHECKPOINTS and gives descriptor 201, from which the
   process reads one byte that the harness writes once it has looked.
   Without the harness a checkpoint makes no system call at all, so that
   the program's trace is what it always was. */
#ifndef CHECKPOINT_H
#define CHECKPOINT_H

#include <stdlib.h>
#include <unistd.h>

#define CHECKPOINT_FD 201

static inline void checkpoint(void)
{
    static int on = -1;
    if (on < 0)
        on = getenv("ORACLE_CHECKPOINTS") != NULL;
    if (!on)
        return;
    char go;
    if (read(CHECKPOINT_FD, &go, 1) < 0) {
        /* the harness is gone: nothing to wait for */
    }
}

#endif
