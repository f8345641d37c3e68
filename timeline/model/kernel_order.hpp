// The order the kernel keeps, whatever the timestamps say. strace stamps a
// call when it gets round to it (a read that blocked is stamped as it
// returns, perhaps before the close that ended it is), and traces recorded
// apart are merged by clocks read at different moments. Some orders are
// the kernel's own, though: end of data after the last close of the write
// end, a read's bytes after the write that put them there, a FIFO's open
// together with the other side's, a wait after the end it collects. An
// event that shows such an effect before the model has seen its cause
// waits, with every later event of its process, until the cause comes, or
// until the trace has gone on long enough that it will not.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <set>

#include "model/state.hpp"

namespace timeline {

class KernelOrder {
public:
    // How long, in the trace's time, an event waits at most for a cause
    // that does not come (one outside the trace, one the model missed).
    static constexpr double kPatience = 0.25;
    // How many events may wait at once.
    static constexpr size_t kHeldAtMost = 1 << 16;

    // Whether the event shows an effect whose cause the model has not seen.
    bool waits(const State& m, const Event& e) const;

    bool holding(int pid) const { return held_.count(pid) != 0; }
    bool empty() const { return held_.empty(); }
    // Keeps the event until its cause comes; `waiting`: it waits itself,
    // rather than behind an earlier event of its process.
    void hold(const Event& e, bool waiting);

    // How an event that waited goes on.
    enum class Released {
        after_cause, // its cause came
        after_previous, // it followed an earlier event of its process that waited
        in_time, // its cause did not come: as strace stamped it
    };
    using Apply = std::function<void(const Event&, Released)>;
    // Hands over, in order, each event that waits no more, and those that
    // waited past `latest` (the latest time the trace has reached) less
    // the patience; until none can go.
    void release(const State& m, double latest, const Apply& apply);
    // The end of the trace: every event still waiting goes.
    void release_all(const Apply& apply);

private:
    struct Held {
        Event event;
        bool waiting = false;
        bool caused = false; // the event before it in its process went after its cause
    };
    bool other_side_waits(const State& m, int pid, const Call& c) const;
    // Keeps track of the children whose fork waits: a child's events come
    // after its birth.
    void note(const Event& e, int change);

    std::map<int, std::deque<Held>> held_; // by pid, in the order of the trace
    std::multiset<int> unborn_; // the children of forks that wait
    size_t count_ = 0;
};

} // namespace timeline
