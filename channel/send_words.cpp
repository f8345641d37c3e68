// send_words: sends "que pasa\n" through FIFOVEK to phrase_classifier,
// which judges it a phrase of letters.
#include "channel.hpp"

int main()
{
    const char phrase[] = "que pasa\n";
    return send_phrase(kChannel, phrase);
}
