#include "views/perfetto.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/language.hpp"
#include "base/paths.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

// Every slice lasts at least this long (in microseconds, strace's
// resolution), and the next slice of its thread begins after it: a flow
// drawn from a moment inside a slice then binds to that slice, whatever
// the trace's times.
constexpr int64_t kShortest = 2;
// Writes, forks, births and kills remembered for the arrows from them.
constexpr size_t kRecentAnchors = size_t(1) << 16;

int64_t micros(double seconds)
{
    // A trace may stamp any time: kept to what the difference of two
    // stamps can hold (some 30,000 years either way; NaN as the earliest).
    constexpr double kMost = 1e12;
    seconds = seconds > -kMost ? std::min(seconds, kMost) : -kMost;
    return std::llround(seconds * 1e6);
}

// A call still going on when the trace ended lasts to the end.
bool lasts_to_the_end(const Step& s)
{
    const auto* sleep = s.as<step::Sleep>();
    return s.is<step::OpenWaiting>() || s.is<step::TransferWaiting>() ||
           s.is<step::WaitWaiting>() || (sleep && !sleep->finished);
}

// The steps that may be the earlier end of an arrow.
bool may_start_an_arrow(const Step& s)
{
    const auto* transfer = s.as<step::Transfer>();
    return (transfer && !transfer->is_read) || s.is<step::Fork>() || s.is<step::Born>() ||
           s.is<step::Kill>() || s.is<step::NewThread>() || s.is<step::ThreadStart>();
}

std::string flow_name(const Arrow& a)
{
    switch (a.kind) {
    case Arrow::Kind::fork:
        return "fork"; // the call's name, in every language
    case Arrow::Kind::data:
        return plural(a.bytes, "{1} byte", "{1} bytes");
    case Arrow::Kind::collect:
        return tr("collected");
    case Arrow::Kind::signal:
        return tr("signal");
    }
    return tr("arrow");
}

// What a process is called on its track: its first program and its pid.
std::string track_name(const Process& p)
{
    std::string program = p.programs.empty() ? p.program : p.programs.front().second;
    return printable(process_name(program, p.pid));
}

} // namespace

PerfettoTrace::PerfettoTrace(std::FILE* file, StepWords* words)
    : events_(file), words_(words ? words : &own_words_)
{
}

void PerfettoTrace::start(const Run& /*run*/) {}

void PerfettoTrace::name_tracks(const Process& p)
{
    if (p.thread_of == 0) {
        std::string name = track_name(p);
        events_.name(true, p.pid, p.pid, name);
        events_.name(false, p.pid, p.pid, name);
        return;
    }
    events_.name(false, p.thread_of, p.pid,
                 fill(tr("thread {1}"), {std::to_string(p.thread_number)}));
    events_.order(false, p.thread_of, p.pid, p.thread_number);
}

PerfettoTrace::Track& PerfettoTrace::track_of(const Run& /*run*/, const Process& p,
                                              const Step& step)
{
    auto [it, fresh] = tracks_.try_emplace(p.pid);
    if (fresh) {
        it->second.pid = p.thread_of != 0 ? p.thread_of : p.pid;
        it->second.born = micros(std::min(step.began, step.time));
        it->second.free = it->second.born + 1; // inside its life
        name_tracks(p);
    }
    return it->second;
}

PerfettoTrace::Anchor PerfettoTrace::slice(const Run& run, const Process& p, size_t index,
                                           const Step& step)
{
    Track& track = track_of(run, p, step);
    int64_t start = std::max(micros(step.began), track.free);
    double ended = lasts_to_the_end(step) ? std::max(step.ended, run.duration()) : step.ended;
    int64_t end = std::max(micros(ended), start + kShortest);
    track.free = end;
    const std::string& words = words_->of(run, index, step);
    std::string line;
    if (step.source)
        line = printable(std::string(base_name(step.source->file)) + ":" +
                         std::to_string(step.source->line));
    events_.slice(track.pid, p.pid, start, end - start, words, line);
    Anchor anchor{track.pid, p.pid, start, end};
    keep_anchor(index, step, anchor);
    return anchor;
}
void PerfettoTrace::keep_anchor(size_t index, const Step& step, const Anchor& anchor)
{
    if (step.is<step::Exit>() || step.is<step::Ended>()) {
        ends_[index] = anchor;
    } else if (may_start_an_arrow(step)) {
        recent_.emplace_back(index, anchor);
        if (recent_.size() > kRecentAnchors)
            recent_.pop_front();
    }
}

const PerfettoTrace::Anchor* PerfettoTrace::anchor_of(size_t step) const
{
    if (auto end = ends_.find(step); end != ends_.end())
        return &end->second;
    auto it = std::lower_bound(recent_.begin(), recent_.end(), step,
                               [](const auto& entry, size_t index) { return entry.first < index; });
    return it != recent_.end() && it->first == step ? &it->second : nullptr;
}

void PerfettoTrace::flow(const Arrow& arrow, const Anchor& from, const Anchor& to)
{
    long long id = ++flows_;
    std::string name = flow_name(arrow);
    events_.flow(true, id, name, from.pid, from.tid, from.start + 1);
    events_.flow(false, id, name, to.pid, to.tid, to.end - 1);
}

void PerfettoTrace::step(const Run& run, size_t index, const Step& step,
                         std::span<const Arrow> arrows)
{
    const Process* p = run.process(step.pid);
    // A zombie never collected and a process still running are told by
    // their life's slices.
    if (!p || step.is<step::Zombie>() || step.is<step::StillRunning>())
        return;
    Anchor here = slice(run, *p, index, step);
    for (const Arrow& arrow : arrows) {
        const Anchor* from = arrow.from == index ? &here : anchor_of(arrow.from);
        const Anchor* to = arrow.to == index ? &here : anchor_of(arrow.to);
        if (from && to)
            flow(arrow, *from, *to);
    }
}

// A process's life, from its first step to its end, and its time as a
// zombie until its parent collected it: slices under its steps.
void PerfettoTrace::life(const Run& run, const Process& p)
{
    auto track = tracks_.find(p.pid);
    if (track == tracks_.end())
        return;
    const Track& t = track->second;
    int64_t end = std::max(micros(p.ended.value_or(run.duration())), t.free);
    events_.life(t.pid, p.pid, t.born, end - t.born,
                 p.ended ? tr("alive") : tr("alive, still running at the end"), p.parent);
    if (!p.ended || !p.child || p.thread_of != 0 || run.collected_outside(p))
        return;
    int64_t collected = std::max(micros(p.collected.value_or(run.duration())), end + kShortest);
    events_.life(t.pid, p.pid, end, collected - end,
                 p.collected ? tr("zombie") : tr("zombie, never collected"), p.parent);
}

// The tracks in the order of the process tree: each process above its
// children, the children in the order they were born.
void PerfettoTrace::sort_processes(const Run& run)
{
    std::map<int, std::vector<int>> children;
    std::vector<int> roots;
    for (const Process& p : run.processes()) {
        if (p.thread_of != 0)
            continue;
        if (p.parent != 0 && p.parent != p.pid && run.process(p.parent))
            children[p.parent].push_back(p.pid);
        else
            roots.push_back(p.pid);
    }
    std::vector<int> order;
    std::vector<int> stack(roots.rbegin(), roots.rend());
    while (!stack.empty() && order.size() <= run.processes().size()) { // a trace may loop
        int pid = stack.back();
        stack.pop_back();
        order.push_back(pid);
        auto& kids = children[pid];
        stack.insert(stack.end(), kids.rbegin(), kids.rend());
    }
    for (size_t i = 0; i < order.size(); ++i)
        events_.order(true, order[i], order[i], (long long)i);
}

void PerfettoTrace::finish(const Run& run)
{
    for (const Process& p : run.processes())
        life(run, p);
    sort_processes(run);
    ok_ = events_.finish();
}

} // namespace timeline
