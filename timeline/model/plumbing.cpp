#include "model/plumbing.hpp"

#include <algorithm>
#include <iterator>

namespace timeline {

std::vector<ProcessTable> tables_of(const World& world)
{
    std::vector<ProcessTable> tables;
    for (const WorldProcess& p : world.processes) {
        bool zombie = p.life == WorldProcess::Life::zombie;
        ProcessTable& table =
            tables.emplace_back(ProcessTable{.pid = p.pid, .program = p.program, .zombie = zombie});
        if (zombie) // its descriptors closed as it ended
            continue;
        for (const auto& [fd, id] : p.fds) {
            TableEntry& entry = table.fds.emplace_back(TableEntry{.fd = fd, .description = id});
            auto d = world.descriptions.find(id);
            if (d == world.descriptions.end())
                continue;
            entry.end = d->second.end;
            if (!d->second.object)
                continue;
            if (auto o = world.objects.find(*d->second.object); o != world.objects.end()) {
                entry.channel = o->second.channel;
                entry.object = o->first;
                // What the run was given where it was given (the shell's
                // pipe as descriptor 1) is not plumbing of its own.
                bool given = d->second.outside && d->second.given_fd == fd;
                entry.carries_data = entry.channel->carries_data() && !given;
            }
        }
    }
    return tables;
}

void Plumbing::note(PlumbingChange change, size_t step, int pid, size_t latest)
{
    constexpr size_t kMoments = 64; // a lesson has a handful
    if (step >= keep_ || keep_ == 0)
        return;
    // A run of changes of one kind is one moment, drawn as it ended.
    if (!moments_.empty() && moments_.back().change == change) {
        PlumbingMoment& last = moments_.back();
        last = PlumbingMoment{
            .change = change, .count = last.count + 1, .step = step, .as_of = latest, .pid = pid};
    } else if (moments_.size() < kMoments) {
        moments_.push_back({.change = change, .step = step, .as_of = latest, .pid = pid});
    }
}

void Plumbing::finish(const Processes& processes, const WorldLog& log)
{
    // Each moment's world: the log replayed up to the step it was noted at.
    World world;
    auto next = log.changes().begin();
    for (PlumbingMoment& moment : moments_) {
        for (; next != log.changes().end() && next->step <= moment.as_of; ++next)
            WorldLog::apply(world, *next);
        moment.world = world;
        moment.processes = tables_of(world);
    }
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
}

} // namespace timeline
