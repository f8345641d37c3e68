// Time: sleeps, and a sleep that goes on after a signal interrupted it.
#include "model/calls/handlers.hpp"

namespace timeline::handlers::timing {

void sleep(State& m, Process& p, const Call& c, const call::Sleep& a, Step s)
{
    if (Step* last = m.steps.last_of(p)) {
        if (auto* wait = last->as<step::UnreadWait>()) {
            wait->paused += a.seconds; // a pause between two questions
            return;
        }
    }
    s.what = step::Sleep{a.seconds, c.finished};
    m.steps.add(std::move(s));
}

void sleep_goes_on(State& m, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::SleepGoesOn{c.duration};
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::timing
