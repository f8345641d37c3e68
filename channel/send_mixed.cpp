// send_mixed: sends "que pasa21\n" through FIFOVEK to phrase_classifier,
// which judges it a phrase of numbers and letters.
#include "channel.hpp"

int main()
{
    const char phrase[] = "que pasa21\n";
    return send_phrase(kChannel, phrase);
}
