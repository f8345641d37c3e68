// The run in the Trace Event Format (JSON) that Perfetto's UI
// (ui.perfetto.dev) and chrome://tracing open: a track for each process
// and each thread ("date_handoff 26488", "thread 2"), parents above their
// children; each step a slice, as long as its call took (from strace's
// -T), its words and its source line as arguments; each process's life
// and its time as a zombie as slices under its steps; a flow arrow for
// each fork, each transfer of bytes (from the write to the read that took
// them), each wait that collected a child and each signal sent. It is
// written as the steps come, in memory that does not grow with the trace.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "model/run.hpp"
#include "views/trace_events.hpp"
#include "views/wording.hpp"

namespace timeline {

class PerfettoTrace : public StepSink {
public:
    // Writes to `file`, which it does not close. `words`: shared with the
    // other views that stream the steps, or its own.
    explicit PerfettoTrace(std::FILE* file, StepWords* words = nullptr);
    PerfettoTrace(const PerfettoTrace&) = delete;
    PerfettoTrace& operator=(const PerfettoTrace&) = delete;

    void start(const Run& run) override;
    void step(const Run& run, size_t index, const Step& step,
              std::span<const Arrow> arrows) override;
    void finish(const Run& run) override;

    // Whether every byte was written.
    bool ok() const { return ok_; }

private:
    // Where a flow arrow binds to a step's slice: its track, and the
    // slice's start and end. An arrow leaves a slice just after it begins
    // (a write's bytes are in the pipe from then) and comes into one just
    // before it ends (a read returns with them).
    struct Anchor {
        int pid = 0;
        int tid = 0;
        int64_t start = 0;
        int64_t end = 0;
    };
    // A thread's track: when it was born, and where its next slice may
    // begin, so that its slices never overlap and each flow binds to the
    // slice it was drawn from (in microseconds since the run began).
    struct Track {
        int pid = 0;
        int64_t born = 0;
        int64_t free = 0;
    };

    Track& track_of(const Run& run, const Process& p, const Step& step);
    void name_tracks(const Process& p);
    Anchor slice(const Run& run, const Process& p, size_t index, const Step& step);
    void flow(const Arrow& arrow, const Anchor& from, const Anchor& to);
    const Anchor* anchor_of(size_t step) const;
    void keep_anchor(size_t index, const Step& step, const Anchor& anchor);
    void life(const Run& run, const Process& p);
    void sort_processes(const Run& run);
    TraceEvents events_;
    bool ok_ = true;
    StepWords own_words_;
    StepWords* words_;
    std::unordered_map<int, Track> tracks_; // by thread id
    // Anchors of the steps that may be the earlier end of an arrow still
    // to come: a process's end until its parent collects it; the most
    // recent writes, forks, births and kills (an arrow from an older one,
    // which only a very long trace has, is not drawn).
    std::unordered_map<size_t, Anchor> ends_;
    std::deque<std::pair<size_t, Anchor>> recent_;
    long long flows_ = 0;
};

} // namespace timeline
