/* popen and system: sort reads what the program writes into the pipe
   popen made; system runs a command through the shell. */
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    FILE* sort = popen("sort", "w");
    fputs("pear\napple\n", sort);
    pclose(sort);
    int status = system("true");
    return status == 0 ? 0 : 1;
}
