// Time: sleeps, and a sleep that goes on after a signal interrupted it.
#include "calls.hpp"

namespace timeline {

void Calls::sleep(Run& run, Process& p, const Call& c, const call::Sleep& a, Step s)
{
    if (Step* last = p.fold ? run.live(*p.fold) : nullptr) {
        if (auto* wait = last->as<step::UnreadWait>()) {
            wait->paused += a.seconds; // a pause between two questions
            return;
        }
    }
    s.what = step::Sleep{a.seconds, c.finished};
    run.add_step(std::move(s));
}

void Calls::sleep_goes_on(Run& run, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::SleepGoesOn{c.duration};
    run.add_step(std::move(s));
}

} // namespace timeline
