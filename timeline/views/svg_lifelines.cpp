// The lifelines of the diagram: each process alive from its first row to
// its end, blocked in a call, stopped by a signal, a zombie until its
// parent collects it.
#include "views/svg_parts.hpp"

#include "base/language.hpp"
#include "model/blocking.hpp"
#include "views/wording.hpp"

namespace timeline::diagram {
namespace {

constexpr double kWaitDrawn = 0.001; // a call blocked this long gets a bar

// Where a moment of the run is on this section's rows: the dot of the last
// row at or before it.
double y_at(const Run& run, const Section& section, double time, double fallback)
{
    double y = fallback;
    for (const Row& row : section.rows)
        if (run.steps()[row.step].time <= time)
            y = row.dot;
    return y;
}

// The dot of the first row at or after a moment: where a call told as it
// began has returned.
double y_after(const Run& run, const Section& section, double time, double fallback)
{
    constexpr double kSame = 1e-7;
    for (const Row& row : section.rows)
        if (run.steps()[row.step].time + kSame >= time)
            return row.dot;
    return fallback;
}

// A lifeline's stretches: alive, blocked, stopped, a zombie; and what its
// foot says.
} // namespace

void lay_out_lifeline(Layout& l, const Run& run, const Section& section, Lane& lane)
{
    const Process& p = *run.process(lane.pid);
    std::vector<const Row*> rows;
    for (const Row& row : section.rows)
        if (run.steps()[row.step].pid == p.pid)
            rows.push_back(&row);
    if (rows.empty())
        return;
    const Row* end = p.end_step ? l.row(*p.end_step) : nullptr;
    lane.alive = Stretch{rows.front()->dot, end ? end->dot : section.bottom};
    std::optional<double> stopped_at;
    for (const Row* row : rows) {
        const Step& s = run.steps()[row->step];
        // A call told as it ended waited above its row; one told as it
        // began (a sleep, a write into a full pipe), below it.
        // One still blocked when the trace ended, to the lifeline's end.
        double blocked = blocked_for(s);
        bool still = never_ended(s);
        bool told_at_start = still || s.time + 1e-7 < s.ended;
        double top =
            told_at_start ? row->dot : y_at(run, section, s.time - blocked, rows.front()->dot);
        double bottom = still           ? lane.alive->bottom
                        : told_at_start ? y_after(run, section, s.ended, lane.alive->bottom)
                                        : row->dot;
        if ((still || blocked >= kWaitDrawn) && bottom - top >= 4)
            lane.waits.push_back({top, bottom,
                                  still ? std::string(tr("blocked until the end"))
                                        : fill(tr("blocked {1}"), {seconds_text(blocked)})});
        if (s.is<step::Stopped>())
            stopped_at = row->dot;
        const auto* signal = s.as<step::Signal>();
        if (stopped_at && signal && signal->resumes)
            lane.stops.push_back({*std::exchange(stopped_at, std::nullopt), row->dot});
    }
    if (stopped_at)
        lane.stops.push_back({*stopped_at, lane.alive->bottom});
    if (!p.ended) {
        lane.foot = fit(tr("still running at the end"), l.chars);
    } else if (p.child && end && run.collected_outside(p)) {
        lane.foot = fit(tr("collected outside the trace"), l.chars);
    } else if (p.child && end) {
        const Row* collected = p.collect_step ? l.row(*p.collect_step) : nullptr;
        lane.zombie = Stretch{lane.alive->bottom, collected ? collected->dot : section.bottom};
        if (!p.collected) {
            lane.foot = fit(tr("zombie, never collected"), l.chars);
            lane.foot_mark = Mark::zombie;
        }
    }
    if (!lane.waits.empty())
        l.mark(Mark::waiting);
    if (!lane.stops.empty())
        l.mark(Mark::stopped);
    if (lane.zombie)
        l.mark(Mark::zombie);
    if (!lane.foot.empty())
        l.add_box({lane.x + 8, section.bottom + 2, double(lane.foot.size()) * kChar, 13},
                  DiagramBox::Kind::label, lane.foot);
}

} // namespace timeline::diagram
