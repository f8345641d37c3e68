// What a view is fed while a run is read: the start, each step once it
// can change no more, and the end. A view that needs every step takes them
// here, as they come, in memory that does not grow with the trace; a view
// that draws the whole run at once does it at the end, from the steps the
// model kept for it.
#pragma once

#include <cstddef>
#include <span>

namespace timeline {

class Run;
struct Step;
struct Arrow;

class StepSink {
public:
    virtual ~StepSink() = default;
    // Before the first step.
    virtual void start(const Run& /*run*/) {}
    // Each step in order, with the arrows whose later end it is: both
    // ends of each have then come.
    virtual void step(const Run& /*run*/, size_t /*index*/, const Step& /*step*/,
                      std::span<const Arrow> /*arrows*/)
    {
    }
    // The end of the trace: every step has come.
    virtual void finish(const Run& /*run*/) {}
    // Whether it reads the world the run kept (Run::world()), which the
    // run then records.
    virtual bool needs_world() const { return false; }
};

} // namespace timeline
