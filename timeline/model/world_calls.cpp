// Each process's place at each step: between calls, or inside one. A
// call lasts from its entry to its return, as strace's -T gave them; the
// step that tells it comes at one end (a read as it returns, a sleep or a
// write into a full pipe as it begins), and every step of another process
// in between finds this one inside it.
#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "model/blocking.hpp"
#include "model/world.hpp"

namespace timeline {
namespace {

struct CallSpan {
    double began;
    double ended;
    size_t step;
};

// Each process's calls, by when they began.
std::map<int, std::vector<CallSpan>> calls_by_process(const std::vector<Step>& steps)
{
    std::map<int, std::vector<CallSpan>> calls;
    for (size_t j = 0; j < steps.size(); ++j) {
        const Step& s = steps[j];
        if (!tells_its_call(s))
            continue;
        if (never_ended(s)) // still in it at the trace's end
            calls[s.pid].push_back({s.began, std::numeric_limits<double>::infinity(), j});
        else if (s.ended > s.began && s.began >= 0)
            calls[s.pid].push_back({s.began, s.ended, j});
    }
    for (auto& [pid, spans] : calls)
        std::stable_sort(spans.begin(), spans.end(),
                         [](const CallSpan& a, const CallSpan& b) { return a.began < b.began; });
    return calls;
}

// The call `spans` holds that step `i`, at `time`, finds under way: it
// began before (or as this step, told as it began) and returns after.
std::optional<size_t> call_at(const std::vector<CallSpan>& spans, size_t i, double time)
{
    auto after = std::upper_bound(spans.begin(), spans.end(), time,
                                  [](double t, const CallSpan& c) { return t < c.began; });
    constexpr double kSame = 1e-7; // strace's clock counts microseconds
    while (after != spans.begin()) {
        const CallSpan& c = *--after;
        if (c.ended > time + kSame && (c.began < time - kSame || c.step <= i))
            return c.step;
        if (c.ended <= time + kSame)
            return std::nullopt; // calls of one process do not overlap
    }
    return std::nullopt;
}

} // namespace

void WorldLog::note_calls(const std::vector<Step>& steps)
{
    size_t kept = std::min(steps.size(), keep_);
    auto calls = calls_by_process(steps);
    std::map<int, WorldProcess> now;
    std::vector<Change> merged;
    merged.reserve(changes_.size());
    auto next = changes_.begin();
    for (size_t i = 0; i < kept; ++i) {
        Change c{.step = i};
        if (next != changes_.end() && next->step == i)
            c = std::move(*next++);
        for (int pid : c.processes_gone)
            now.erase(pid);
        std::map<int, size_t> changed; // pid: its place in c.processes
        for (size_t k = 0; k < c.processes.size(); ++k) {
            WorldProcess& p = c.processes[k];
            if (auto was = now.find(p.pid); was != now.end()) {
                p.in_call = was->second.in_call; // the change did not say
                p.call_waits = was->second.call_waits;
            }
            now[p.pid] = p;
            changed[p.pid] = k;
        }
        for (auto& [pid, p] : now) {
            std::optional<size_t> in;
            if (p.life == WorldProcess::Life::running)
                if (auto spans = calls.find(pid); spans != calls.end())
                    in = call_at(spans->second, i, steps[i].time);
            bool waits = in && blocks(steps[*in]);
            if (in == p.in_call && waits == p.call_waits)
                continue;
            p.in_call = in;
            p.call_waits = waits;
            if (auto k = changed.find(pid); k != changed.end())
                c.processes[k->second] = p;
            else
                c.processes.push_back(p);
        }
        if (!c.empty())
            merged.push_back(std::move(c));
    }
    changes_ = std::move(merged);
}

} // namespace timeline
