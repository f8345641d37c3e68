// Time: sleeps, a sleep that goes on after a signal interrupted it, and
// alarms.
#include <algorithm>
#include <charconv>

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

// alarm(N): SIGALRM comes in N seconds (0: none comes); the result is
// what was left of the alarm it replaces.
void alarm(State& m, Process& p, const Call& c, const call::Numbers& a, Step s)
{
    long long seconds = -1;
    if (!a.args.empty())
        std::from_chars(a.args[0].data(), a.args[0].data() + a.args[0].size(), seconds);
    if (seconds < 0 || !c.finished) {
        as_written(m, p, c, std::move(s));
        return;
    }
    s.what = step::Alarm{.seconds = seconds, .left = std::max(0LL, c.value)};
    m.steps.add(std::move(s));
}

void sleep_goes_on(State& m, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::SleepGoesOn{c.duration};
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::timing
