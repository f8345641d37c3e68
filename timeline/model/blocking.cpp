#include "model/blocking.hpp"

namespace timeline {

bool tells_its_call(const Step& s)
{
    return !(s.is<step::Start>() || s.is<step::Born>() || s.is<step::ThreadStart>() ||
             s.is<step::Appears>() || s.is<step::Adopted>() || s.is<step::CollectedOutside>() ||
             s.is<step::Zombie>() || s.is<step::StillRunning>() || s.is<step::HiddenCalls>());
}

double blocked_for(const Step& s)
{
    if (const auto* t = s.as<step::Transfer>())
        return (t->is_read && !t->ready) || t->full ? t->waited : 0;
    if (const auto* end = s.as<step::EndOfData>())
        return end->waited;
    if (s.is<step::NeverReturned>() || s.is<step::TransferWaiting>() || s.is<step::OpenWaiting>() ||
        s.is<step::WaitWaiting>() || s.is<step::Sleep>() || s.is<step::SleepGoesOn>())
        return s.ended - s.began;
    if (const auto* c = s.as<step::Collect>())
        return c->at_once ? 0 : c->waited;
    if (const auto* o = s.as<step::Open>()) // a FIFO's, until the other side came
        return o->met == step::Open::Met::waited ? o->waited : 0;
    if (const auto* poll = s.as<step::Poll>())
        return poll->waited;
    if (const auto* pause = s.as<step::Pause>())
        return pause->waited;
    if (const auto* asks = s.as<step::UnreadWait>())
        return asks->paused;
    return 0;
}

bool never_ended(const Step& s)
{
    if (const auto* sleep = s.as<step::Sleep>(); sleep && !sleep->finished)
        return true;
    if (const auto* pause = s.as<step::Pause>(); pause && !pause->finished)
        return true;
    if (const auto* poll = s.as<step::Poll>(); poll && !poll->finished)
        return true;
    return s.is<step::TransferWaiting>() || s.is<step::OpenWaiting>() || s.is<step::WaitWaiting>();
}

bool blocks(const Step& s)
{
    return never_ended(s) || blocked_for(s) > 0;
}

} // namespace timeline
