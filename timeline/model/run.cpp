// The model's core: each event to its place, the steps handed to the
// views once they can change no more. What each system call does is in
// calls/.
#include "model/run.hpp"

#include <algorithm>
#include <utility>

#include "model/calls/handlers.hpp"

namespace timeline {

Run::Run(std::function<bool(const std::string&)> is_fifo, size_t keep)
    : state_(std::move(is_fifo), keep)
{
    // The views that keep steps draw the bytes in each pipe too, and the
    // figures the tables that the world log records.
    if (keep > 0)
        record_world();
}

void Run::record_world()
{
    state_.flows.keep_bytes();
    if (!state_.world)
        state_.world.emplace(state_.steps.keep());
}

void Run::note_world()
{
    if (state_.world && step_count() > 0 && step_count() - 1 < state_.steps.keep())
        state_.world->note(step_count() - 1,
                           world_now(state_.processes, state_.channels, state_.flows));
}

void Run::add(const Event& e)
{
    if (!started_) {
        started_ = true;
        for (StepSink* sink : sinks_)
            sink->start(*this);
    }
    if (!start_time_)
        start_time_ = e.time;
    last_time_ = std::max(last_time_, e.time);
    // An effect seen before its cause waits for it; the rest of the
    // process's events wait behind it.
    bool behind = order_.holding(e.pid);
    if (behind || order_.waits(state_, e))
        order_.hold(e, !behind);
    else
        apply(e, KernelOrder::Released::in_time);
    if (!order_.empty())
        order_.release(state_, last_time_,
                       [this](const Event& held, KernelOrder::Released how) { apply(held, how); });
    retire(false);
}

void Run::apply(const Event& e, KernelOrder::Released how)
{
    double stamped = since_start(e.time);
    // An event that waited for its cause is told after it.
    double t = how == KernelOrder::Released::in_time ? stamped : std::max(stamped, last_applied_);
    last_applied_ = std::max(last_applied_, t);
    // A program started again once everything before it has ended (a
    // lesson run on a terminal, then into a pipe) is a run of its own:
    // its pipes are named afresh.
    if (!state_.processes.find(e.pid) && !processes().empty() && state_.processes.all_ended()) {
        ++state_.run;
        state_.channels.begin_run();
    }
    size_t before = step_count();
    state_.steps.made_from(e.from);
    Process& p = state_.process(e.pid);
    if (const auto* c = std::get_if<Call>(&e.what)) {
        call(p, *c, t);
    } else if (const auto* code = std::get_if<CodeAt>(&e.what)) {
        stacks_ = true;
        settle_source(p, code);
    } else if (const auto* s = std::get_if<Signal>(&e.what)) {
        signal(p, *s, t);
    } else if (const auto* stop = std::get_if<Stopped>(&e.what)) {
        p.stopped = true;
        state_.steps.add({.pid = p.pid, .time = t, .what = step::Stopped{stop->signal}});
    } else if (const auto* x = std::get_if<Exited>(&e.what)) {
        end_process(p, t, ProcessEnd{.status = x->status}, true);
    } else if (const auto* k = std::get_if<Killed>(&e.what)) {
        end_process(p, t, ProcessEnd{.killed = true, .signal = k->signal}, false);
        // SIGKILL is never delivered as such: the process just ends.
        state_.flows.arrived(*p.end_step, p, Signal{.name = k->signal});
    } else if (const auto* gone = std::get_if<Superseded>(&e.what)) {
        superseded(p, *gone, t);
    }
    if (t > stamped)
        for (size_t i = before; i < step_count(); ++i)
            if (Step* s = state_.steps.live(i); s && s->pid == e.pid) {
                s->moved = t - stamped;
                s->moved_after_cause = how == KernelOrder::Released::after_cause;
            }
    state_.steps.made_from({});
    // A system program's own calls (not shown) change the world as they
    // go: what they changed is told with the next step, not folded into
    // the step before them (the exec that started it held what it had).
    for (size_t fifo : state_.channels.take_emptied())
        state_.flows.drop_unread(fifo);
    const Process* now = state_.processes.find(e.pid);
    if (step_count() > before)
        state_.flows.settle();
    if (step_count() > before || !now || !now->hidden)
        note_world();
}

void Run::call(Process& p, const Call& c, double t)
{
    int pid = p.pid;
    size_t before = step_count();
    // The stack under a told call's end is that call's: its step still
    // waits for it.
    if (!c.corrects_start)
        settle_source(p, nullptr);
    double began = std::min(since_start(c.began), t);
    Step s{.pid = pid,
           .time = t,
           .began = began,
           .ended = std::max(t, began + c.duration),
           .took = c.duration,
           .error = c.error};
    // The end of a call told as it started completes its step, unless it
    // takes back what the start told (a write that failed, moved fewer
    // bytes than it asked, or never returned): then the handler does.
    const auto* transfer = std::get_if<call::Transfer>(&c.args);
    bool partial = transfer && !transfer->is_read && c.error.empty() && !c.no_return &&
                   c.value >= 0 && c.value < transfer->asked;
    bool takes_back = transfer && (!c.error.empty() || c.no_return || partial);
    if (c.corrects_start && !takes_back) {
        complete_told(p, s);
        return;
    }
    handlers::dispatch(state_, p, c, std::move(s));
    // A fork adds a process: `p` may have moved.
    Process& now = state_.processes.known(pid);
    if (c.corrects_start)
        release_told(now);
    // Its step stays open until its end comes.
    if (c.told_at_start) {
        std::optional<size_t> made =
            step_count() > before ? std::optional(step_count() - 1) : now.fold;
        if (made && state_.steps.live(*made)) {
            state_.steps.pin(*made);
            now.told = made;
        }
    }
    await_source(pid, before);
}

void Run::complete_told(Process& p, const Step& end)
{
    Step* s = p.told ? state_.steps.live(*p.told) : nullptr;
    if (s) {
        s->ended = std::max(s->ended, end.began + end.took);
        s->took = end.took;
        if (!end.error.empty())
            s->error = end.error;
        // A write into a full pipe was told as it began: now it is known
        // how long it waited for room.
        if (auto* t = s->as<step::Transfer>(); t && t->full)
            t->waited += end.took;
        state_.steps.grew(*s, *s);
    }
    release_told(p);
}

void Run::release_told(Process& p)
{
    if (p.told) {
        state_.steps.unpin(*p.told);
        state_.flows.filling(*p.told, false);
    }
    p.told.reset();
}

void Run::signal(Process& p, const Signal& s, double t)
{
    bool resumes = s.name == "SIGCONT" && p.stopped;
    p.stopped = p.stopped && !resumes;
    const auto& dispositions = state_.processes.table_of(p).dispositions;
    auto disposition = dispositions.find(s.name);
    size_t at = state_.steps.add(
        {.pid = p.pid,
         .time = t,
         .what = step::Signal{s.name, s.sender, s.code, resumes,
                              disposition == dispositions.end()
                                  ? call::SignalAction::Disposition::restore_default
                                  : disposition->second}});
    state_.flows.arrived(at, p, s);
    // SIGCHLD comes from a child's end, however late it is delivered.
    bool ended = s.code == "CLD_EXITED" || s.code == "CLD_KILLED" || s.code == "CLD_DUMPED";
    if (s.name != "SIGCHLD" || s.sender == 0 || !ended)
        return;
    if (const Process* child = process(s.sender);
        child && child->end_step && child->parent == p.pid)
        state_.steps.add_arrow({Arrow::Kind::signal, *child->end_step, at, 0, std::nullopt});
}

void Run::await_source(int pid, size_t steps_before)
{
    if (!stacks_)
        return;
    for (size_t i = steps_before; i < step_count(); ++i)
        if (const Step* s = state_.steps.live(i); s && s->pid == pid) {
            state_.processes.known(pid).awaiting_source = i;
            state_.steps.pin(i);
            return;
        }
}

void Run::settle_source(Process& p, const CodeAt* code)
{
    std::optional<SourceLine> line;
    const Step* awaited = p.awaiting_source ? state_.steps.live(*p.awaiting_source) : nullptr;
    // An exec's stack is the program's that called it, also when the new
    // program is a system one whose own calls are not shown.
    bool own = !p.hidden || (awaited && awaited->as<step::Exec>());
    if (code && source_of_ && !code->frames.empty() && own)
        line = source_of_(code->frames);
    // A spawn that popen, system or posix_spawn made on a stack of their
    // own cannot be unwound: the call before it, in the same library
    // function, tells the line.
    if (code && !line && !code->unwound && code->in_library)
        line = p.library_line;
    if (code)
        p.library_line = code->in_library ? line : std::nullopt;
    if (!p.awaiting_source)
        return;
    size_t index = *std::exchange(p.awaiting_source, std::nullopt);
    Step* step = state_.steps.live(index);
    if (step && code)
        step->source = line;
    if (step && code && !step->source)
        step->unwound = code->unwound;
    state_.steps.unpin(index);
}

void Run::end_process(Process& p, double t, ProcessEnd how, bool exited)
{
    // strace writes the stack of a call to exit after the process's end:
    // the exit's step waits for it still.
    if (!(exited && p.exit_called))
        settle_source(p, nullptr);
    if (p.hidden)
        state_.steps.add(
            {.pid = p.pid, .time = t, .what = step::HiddenCalls{p.program, p.hidden_calls}});
    p.ended = t;
    // Its descriptors close as it ends; a thread's table lives on.
    if (p.thread_of == 0)
        while (!p.fds.empty())
            state_.processes.release(p, p.fds.begin()->first);
    if (!exited || !p.exit_called) {
        p.end_how = how;
        p.end_step =
            state_.steps.add({.pid = p.pid, .time = t, .what = step::Ended{std::move(how)}});
    }
    p.fold.reset();
    if (p.thread_of != 0)
        return;
    // The step that told its exit shows it ended, before its orphans'
    // adoptions come as steps of their own.
    note_world();
    handlers::life::adopt_orphans(state_, p, t);
    state_.note_plumbing(PlumbingChange::end, *p.end_step, p.pid);
}

// A thread that called execve goes on as the process: its own id ends
// here, and the process's lane tells the exec.
void Run::superseded(Process& p, const Superseded& gone, double t)
{
    superseded_ = true;
    settle_source(p, nullptr);
    p.ended = t;
    p.end_step = state_.steps.add({.pid = p.pid, .time = t, .what = step::Superseded{gone.leader}});
    p.fold.reset();
}

void Run::retire(bool all)
{
    state_.steps.retire(all, [this](size_t index, const Step& step, std::span<const Arrow> arrows) {
        for (StepSink* sink : sinks_)
            sink->step(*this, index, step, arrows);
    });
    // A pipe closed everywhere, all of whose steps have been told and none
    // kept, is forgotten, and its place serves the next channel: a trace
    // that makes a million pipes needs no more memory than one that makes
    // ten.
    state_.channels.recycle(std::max(state_.steps.keep(), kStepsHeld), state_.steps.first_live(),
                            [this](size_t channel) { state_.flows.forget(channel); });
}

void Run::finish()
{
    if (!started_) {
        started_ = true;
        for (StepSink* sink : sinks_)
            sink->start(*this);
    }
    order_.release_all([this](const Event& held, KernelOrder::Released how) { apply(held, how); });
    double end = std::max(duration(), last_applied_);
    for (Process& p : state_.processes.all()) {
        if (!p.ended) {
            if (p.hidden)
                state_.steps.add({.pid = p.pid,
                                  .time = end,
                                  .what = step::HiddenCalls{p.program, p.hidden_calls}});
            state_.steps.add({.pid = p.pid, .time = end, .what = step::StillRunning{}});
        } else if (p.child && collected_outside(p)) {
            // Its adopter is outside the trace, and collects it there.
            state_.steps.add({.pid = p.pid, .time = end, .what = step::CollectedOutside{}});
        } else if (p.child && !p.collected && p.thread_of == 0) {
            state_.steps.add({.pid = p.pid, .time = end, .what = step::Zombie{end - *p.ended}});
        }
    }
    for (Process& p : state_.processes.all())
        settle_source(p, nullptr);
    note_world();
    if (state_.world) {
        state_.world->finish(state_.processes, state_.channels);
        state_.plumbing.finish(state_.processes, *state_.world);
    }
    retire(true);
    if (state_.world) // every step is kept by now, with its call's end
        state_.world->note_calls(steps());
    for (StepSink* sink : sinks_)
        sink->finish(*this);
}

} // namespace timeline
