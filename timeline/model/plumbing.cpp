#include "model/plumbing.hpp"

#include <algorithm>
#include <iterator>

namespace timeline {
namespace {

ProcessTable table_of(const Processes& processes, const Process& p, bool zombie,
                      const Channels& channels)
{
    ProcessTable table{.pid = p.pid, .program = p.program, .zombie = zombie};
    if (zombie) // its descriptors closed as it ended
        return table;
    for (int fd = 0; fd < 3; ++fd)
        if (!p.fds.count(fd) && (p.std_closed & (1U << fd)) == 0)
            table.fds.push_back({.fd = fd, .description = outside_description(processes, p, fd)});
    for (const auto& [fd, held] : p.fds) {
        TableEntry entry{.fd = fd, .end = held.end, .description = held.description};
        if (held.channel) {
            entry.channel = channels[*held.channel];
            entry.carries_data = entry.channel->carries_data();
        }
        table.fds.push_back(std::move(entry));
    }
    std::sort(table.fds.begin(), table.fds.end(),
              [](const TableEntry& a, const TableEntry& b) { return a.fd < b.fd; });
    return table;
}

} // namespace

void Plumbing::note(PlumbingChange change, size_t step, int pid, const Processes& processes,
                    const Channels& channels, const Flows& flows)
{
    constexpr size_t kMoments = 64; // a lesson has a handful
    if (step >= keep_ || keep_ == 0 || moments_.size() >= kMoments)
        return;
    PlumbingMoment moment{.change = change, .step = step, .pid = pid};
    for (const Process& p : processes.all()) {
        bool zombie = processes.zombie(p);
        if (p.thread_of == 0 && !p.collected && (!p.ended || zombie))
            moment.processes.push_back(table_of(processes, p, zombie, channels));
    }
    moment.world = world_now(processes, channels, flows);
    // A run of changes of one kind is one moment, drawn as it ended.
    if (!moments_.empty() && moments_.back().change == change) {
        moment.count = moments_.back().count + 1;
        moments_.back() = std::move(moment);
    } else {
        moments_.push_back(std::move(moment));
    }
}

void Plumbing::finish(const Processes& processes, const Channels& channels)
{
    std::vector<PlumbingMoment> kept;
    int run = 0;
    bool trailing = false;
    for (auto it = moments_.rbegin(); it != moments_.rend(); ++it) {
        const Process* p = processes.find(it->pid);
        int its_run = p ? p->run : run;
        trailing = (trailing && its_run == run) || its_run != run;
        run = its_run;
        bool an_end = it->change == PlumbingChange::end || it->change == PlumbingChange::collect;
        // A zombie that nothing in the trace collects is drawn: its entry
        // in the process table is all that is left of it.
        bool lasting_zombie =
            it->change == PlumbingChange::end &&
            std::any_of(it->processes.begin(), it->processes.end(), [&](const ProcessTable& t) {
                const Process* z = processes.find(t.pid);
                return t.zombie && z && !z->collected;
            });
        if (trailing && an_end && !lasting_zombie)
            continue;
        trailing = false;
        kept.push_back(std::move(*it));
    }
    moments_.assign(std::make_move_iterator(kept.rbegin()), std::make_move_iterator(kept.rend()));
    name_inherited(processes, channels);
}

void Plumbing::name_inherited(const Processes& processes, const Channels& channels)
{
    // A process's own use, its ancestors', then its descendants': they all
    // hold what it was given, unless they replaced it (then it is in their
    // table, not among what they inherited).
    const auto& all = processes.all();
    auto given = [&](int pid, int fd) -> const Channel* {
        const Process* p = processes.find(pid);
        for (size_t up = 0; p && up <= all.size(); ++up) { // a trace may loop
            if (auto seen = p->inherited.find(fd); seen != p->inherited.end())
                return &seen->second;
            p = p->parent != 0 ? processes.find(p->parent) : nullptr;
        }
        std::vector<int> family{pid};
        for (size_t i = 0; i < family.size() && i < all.size(); ++i)
            for (const Process& q : all) {
                if (q.parent != family[i] || q.pid == family[i])
                    continue;
                if (auto seen = q.inherited.find(fd); seen != q.inherited.end())
                    return &seen->second;
                family.push_back(q.pid);
            }
        return nullptr;
    };
    for (auto& moment : moments_)
        for (auto& table : moment.processes)
            for (auto& entry : table.fds)
                if (!entry.channel)
                    if (const Channel* c = given(table.pid, entry.fd)) {
                        entry.channel = *c;
                        // Its description is open on it too.
                        auto d = moment.world.descriptions.find(entry.description);
                        if (auto at = channels.find(c->target.empty() ? c->path : c->target);
                            d != moment.world.descriptions.end() && !d->second.object && at)
                            d->second.object = at;
                    }
}

} // namespace timeline
