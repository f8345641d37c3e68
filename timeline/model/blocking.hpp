// What each process is doing at each step: between calls (running), inside
// a call from its entry to its return as strace's -T gave them, and
// whether that call waits for something outside the process (a read for
// bytes not there yet, a write for room, a wait for a child, a sleep) or
// only takes its time.
#pragma once

#include <vector>

#include "model/step.hpp"

namespace timeline {

// Whether a step tells the call of its trace lines, rather than something
// that call made happen to another process (a child born at a fork, a
// system program's child first seen) or the start of the trace.
bool tells_its_call(const Step& s);
// How long a step's call waited for something outside it: 0 for a call
// that returned as soon as it had done its work.
double blocked_for(const Step& s);
// Whether it waited at all, or still waits at the trace's end.
bool blocks(const Step& s);
// Whether its call had not returned when the trace ended.
bool never_ended(const Step& s);

} // namespace timeline
