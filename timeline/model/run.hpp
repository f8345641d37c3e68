// The model of one traced run: its processes, the pipes and FIFOs between
// them, and the steps each process took, in time order. It is built event
// by event, as a stream, and feeds its views (StepSink) as it goes; it
// knows nothing of how a run is shown, nor of how strace writes: the
// reader has decoded each event already.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/kernel_order.hpp"
#include "model/state.hpp"
#include "model/step_sink.hpp"

namespace timeline {

class Run {
public:
    static constexpr size_t kKeepAll = Steps::kKeepAll;
    // A view may hold this many of the first steps until the end (to tell
    // them with all the trace knows): what they name stays.
    static constexpr size_t kStepsHeld = 4096;

    // `is_fifo(path)`: whether a path is a FIFO, for the channels whose
    // kind the trace does not tell. `keep`: how many of the first steps,
    // and the arrows between them, stay for steps() and arrows(); the rest
    // go to the sinks only, so that memory does not grow with the trace.
    explicit Run(std::function<bool(const std::string&)> is_fifo = nullptr, size_t keep = kKeepAll);

    // A view fed as the run is read; it must outlive the run's reading.
    void add_sink(StepSink& sink)
    {
        sinks_.push_back(&sink);
        if (sink.needs_world() && !state_.world)
            record_world();
    }
    // Which line of a program's source the frames of a call's stack are
    // at (the first of them that can be told); without it, or for a trace
    // recorded without stacks, steps have no source line.
    using SourceOf = std::function<std::optional<SourceLine>(const std::vector<Frame>&)>;
    void set_source_of(SourceOf source_of) { source_of_ = std::move(source_of); }

    // Keeps what each step changes in the world (WorldLog), with the bytes
    // in each pipe: before the first event (a sink that needs it asks).
    void record_world();
    const WorldLog* world() const { return state_.world ? &*state_.world : nullptr; }

    void add(const Event& event);
    // The end of the trace: zombies never collected, processes still
    // running, system programs' hidden calls. Every step has then gone to
    // the sinks, and they are finished.
    void finish();

    // After finish(): the steps kept, and how many there were in all.
    const std::vector<Step>& steps() const { return state_.steps.kept(); }
    size_t step_count() const { return state_.steps.count(); }
    const std::vector<Arrow>& arrows() const { return state_.steps.arrows(); }
    // The descriptor tables at each moment that changed them, among the
    // steps kept, up to the last change a call made.
    const std::vector<PlumbingMoment>& plumbing() const { return state_.plumbing.moments(); }
    const std::deque<Channel>& channels() const { return state_.channels.all(); }
    // In the order they appeared.
    const std::vector<Process>& processes() const { return state_.processes.all(); }
    const Process* process(int pid) const { return state_.processes.find(pid); }
    const Channel* channel_of(const Step& step) const
    {
        return step.channel ? &state_.channels[*step.channel] : nullptr;
    }
    double duration() const { return last_time_ - start_time_.value_or(last_time_); }
    int runs() const { return state_.run; }
    // strace 6.1 stops following a process with stacks (-k) once one of its
    // threads other than the first has called execve: the trace of such a
    // run ends there, its processes still running.
    bool cut_after_thread_exec() const
    {
        return stacks_ && superseded_ && !state_.processes.all_ended();
    }
    // An orphan whose adopter is outside the trace: collected there.
    bool collected_outside(const Process& p) const { return state_.processes.collected_outside(p); }

private:
    double since_start(double time) const { return std::max(0.0, time - *start_time_); }
    void apply(const Event& e, KernelOrder::Released how);
    void call(Process& p, const Call& c, double t);
    // The end of a call told as it started (`end`, a step of it as it
    // ended): its step learns how long it took, and a signal that
    // interrupted it.
    void complete_told(Process& p, const Step& end);
    void release_told(Process& p);
    void signal(Process& p, const Signal& s, double t);
    void end_process(Process& p, double t, ProcessEnd how, bool exited);
    void superseded(Process& p, const Superseded& gone, double t);
    // In a trace with stacks, the step a call made waits for its stack,
    // which strace writes under the call.
    void await_source(int pid, size_t steps_before);
    // The stack came (`code`), or will not: the step goes on.
    void settle_source(Process& p, const CodeAt* code);
    // Hands every step that can change no more to the sinks; all of them
    // at the end.
    void retire(bool all);
    void note_world();

    State state_;
    std::vector<StepSink*> sinks_;
    SourceOf source_of_;
    bool stacks_ = false; // the trace has stack traces
    bool superseded_ = false; // a thread's execve took its process's pid
    bool started_ = false;
    std::optional<double> start_time_;
    double last_time_ = 0;
    double last_applied_ = 0; // the latest time told, since the start
    KernelOrder order_;
};

} // namespace timeline
