// send_digits: sends "1000293\n" through FIFOVEK to phrase_classifier,
// which judges it a phrase of numbers. Started before the classifier, it
// waits silently in its open until the classifier opens the channel.
#include "channel.hpp"

int main()
{
    const char phrase[] = "1000293\n";
    return send_phrase(kChannel, phrase);
}
