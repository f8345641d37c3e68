// send_greeting: sends "Un  saludo!!!\n" through FIFO2, a channel that no
// program of this suite creates or reads. It waits in its open until some
// other reader opens FIFO2, for example `cat FIFO2` after `mkfifo FIFO2`.
#include "channel.hpp"

int main()
{
    const char phrase[] = "Un  saludo!!!\n";
    return send_phrase("FIFO2", phrase);
}
