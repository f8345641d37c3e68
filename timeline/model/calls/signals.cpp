// Signals sent: a kill is a step, and its arrival draws an arrow from it.
#include "model/calls/handlers.hpp"

namespace timeline::handlers::signals {

void kill(State& m, Process& p, const Call& c, const call::Kill& a, Step s)
{
    s.what = step::Kill{a.target, a.signal};
    size_t at = m.steps.add(std::move(s));
    if (a.target > 0 && c.error.empty())
        m.flows.sent(at, p.pid, a.target, a.signal);
}

} // namespace timeline::handlers::signals
