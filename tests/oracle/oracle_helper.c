/* The program a generated exercise's child may become with exec: it takes
   a checkpoint with the descriptors that survived the exec, then ends. */
#include "checkpoint.h"

int main(void)
{
    checkpoint();
    return 0;
}
