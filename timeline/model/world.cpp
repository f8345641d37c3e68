#include "model/world.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace timeline {
namespace {

constexpr size_t kOutside = size_t(1) << 40;

// What names a channel, without what changes as a run goes on.
Channel naming(const Channel& c)
{
    Channel named;
    named.kind = c.kind;
    named.path = c.path;
    named.target = c.target;
    named.number = c.number;
    named.pair = c.pair;
    named.working_folder = c.working_folder;
    named.created_here = c.created_here;
    return named;
}

bool same_name(const Channel& a, const Channel& b)
{
    return a.kind == b.kind && a.path == b.path && a.target == b.target && a.number == b.number &&
           a.pair == b.pair;
}

// The first traced process of `p`'s family: the one that was given what
// the family has from outside.
const Process& origin_of(const Processes& processes, const Process& p)
{
    const Process* at = &p;
    for (size_t up = 0; up <= processes.all().size(); ++up) { // a trace may loop
        int parent = at->adopted && at->former_parent != 0 ? at->former_parent : at->parent;
        const Process* next = parent != 0 ? processes.find(parent) : nullptr;
        if (!next || next == at)
            break;
        at = next;
    }
    return *at;
}

// Each process's relatives, by pid: the processes of that pid, its
// children, and the children it had before they were adopted, in the
// order of the run. Made once for a whole world, so that a family of a
// thousand costs a thousand look-ups, not a million.
class Relatives {
public:
    explicit Relatives(const Processes& processes) : all_(processes.all())
    {
        for (size_t k = 0; k < all_.size(); ++k) {
            const Process& q = all_[k];
            by_pid_.emplace_back(q.pid, k);
            if (q.parent != q.pid)
                by_pid_.emplace_back(q.parent, k);
            if (q.former_parent != q.pid && q.former_parent != q.parent)
                by_pid_.emplace_back(q.former_parent, k);
            pids_.push_back(q.pid);
        }
        std::sort(by_pid_.begin(), by_pid_.end());
        std::sort(pids_.begin(), pids_.end());
        pids_.erase(std::unique(pids_.begin(), pids_.end()), pids_.end());
    }

    // The channel that descriptor `fd` of the family of `origin` was
    // given, as far as a use of it told: its own, then its descendants',
    // nearest first.
    std::optional<size_t> given_channel(const Channels& channels, const Process& origin,
                                        int fd) const
    {
        std::vector<int> family{origin.pid};
        std::vector<char> in_family(pids_.size(), 0);
        mark(in_family, origin.pid);
        for (size_t i = 0; i < family.size(); ++i) {
            auto [from, to] = std::equal_range(
                by_pid_.begin(), by_pid_.end(), std::pair<int, size_t>{family[i], 0},
                [](const auto& x, const auto& y) { return x.first < y.first; });
            for (auto it = from; it != to; ++it) {
                const Process& q = all_[it->second];
                auto at = q.inherited_at.find(fd);
                auto seen = q.inherited.find(fd);
                if (at != q.inherited_at.end() && seen != q.inherited.end() &&
                    at->second < channels.all().size() &&
                    same_name(channels[at->second], seen->second))
                    return at->second;
                if (mark(in_family, q.pid))
                    family.push_back(q.pid);
            }
        }
        return std::nullopt;
    }

private:
    // Marks a pid as the family's; whether it was new.
    bool mark(std::vector<char>& in_family, int pid) const
    {
        auto it = std::lower_bound(pids_.begin(), pids_.end(), pid);
        if (it == pids_.end() || *it != pid)
            return false;
        char& marked = in_family[size_t(it - pids_.begin())];
        return marked == 0 && (marked = 1) != 0;
    }

    const std::vector<Process>& all_;
    std::vector<std::pair<int, size_t>> by_pid_;
    std::vector<int> pids_;
};

// Relatives made the first time a world asks: most worlds have no
// descriptor from outside whose object is still to be named.
class LazyRelatives {
public:
    explicit LazyRelatives(const Processes& processes) : processes_(processes) {}
    const Relatives* operator->()
    {
        if (!made_)
            made_.emplace(processes_);
        return &*made_;
    }

private:
    const Processes& processes_;
    std::optional<Relatives> made_;
};

WorldObject object_of(const Channel& c, size_t channel, const Flows& flows)
{
    WorldObject o{.channel = naming(c)};
    if (c.carries_data() && !c.received_outside()) {
        auto now = flows.in_flight(channel);
        o.in_flight = now.count;
        o.in_flight_bytes = std::move(now.bytes);
        o.in_flight_whole = now.whole;
        o.in_flight_exact = now.exact;
        // A write of more than the pipe holds puts in what fits; the rest
        // waits in the writer until the reader makes room.
        if (c.kind == Channel::Kind::pipe || c.kind == Channel::Kind::fifo) {
            long long holds = flows.capacity(channel);
            if (o.in_flight > holds) {
                o.in_flight = holds;
                if (o.in_flight_bytes.size() > size_t(holds))
                    o.in_flight_bytes.resize(size_t(holds));
            }
        }
    }
    if (const auto* got = flows.received(channel)) {
        o.received = got->count;
        o.received_bytes = got->bytes;
    }
    return o;
}

// Which end of a pipe or FIFO; a file's description has none.
End pipe_end(const Channels& channels, const Description& d)
{
    bool data =
        d.channel && *d.channel < channels.all().size() && channels[*d.channel].carries_data();
    return data ? d.end : End::unknown;
}

template <class Map, class Out, class Gone>
void diff_maps(const Map& before, const Map& after, Out& changed, Gone& gone)
{
    for (const auto& [key, value] : after)
        if (auto it = before.find(key); it == before.end() || !(it->second == value))
            changed.emplace_back(key, value);
    for (const auto& [key, value] : before)
        if (!after.count(key))
            gone.push_back(key);
}

} // namespace

bool WorldObject::operator==(const WorldObject& o) const
{
    return same_name(channel, o.channel) && in_flight == o.in_flight &&
           in_flight_bytes == o.in_flight_bytes && in_flight_whole == o.in_flight_whole &&
           in_flight_exact == o.in_flight_exact && received == o.received &&
           received_bytes == o.received_bytes;
}

size_t outside_description(const Processes& processes, const Process& p, int fd)
{
    return kOutside | (size_t(unsigned(origin_of(processes, p).pid)) << 2) | size_t(fd & 3);
}

bool is_outside_description(size_t id)
{
    return (id & kOutside) != 0;
}

namespace {

// A description given from outside the trace, counted once more: what it
// is open on, when known.
void add_given(World& w, size_t id, int fd, std::optional<size_t> channel,
               const std::function<void(size_t)>& object)
{
    auto [it, made] =
        w.descriptions.try_emplace(id, WorldDescription{.outside = true, .given_fd = fd});
    ++it->second.refs;
    if (made && channel) {
        it->second.object = channel;
        object(*channel);
    }
}

// A live process's descriptors, with the descriptions and objects they
// point at.
void add_descriptors(World& w, WorldProcess& shown, const Process& p, const Processes& processes,
                     const Channels& channels, LazyRelatives& relatives,
                     const std::function<void(size_t)>& object)
{
    for (const auto& [fd, held] : p.fds) {
        shown.fds[fd] = held.description;
        if (held.cloexec)
            shown.cloexec.insert(fd);
        const Description* d = processes.description(held.description);
        if (!d) {
            if (is_outside_description(held.description)) // a copy of one given, or marked
                add_given(w, held.description, int(held.description & 3), held.channel, object);
            continue;
        }
        auto [it, made] = w.descriptions.try_emplace(held.description,
                                                     WorldDescription{.object = d->channel,
                                                                      .end = pipe_end(channels, *d),
                                                                      .access = d->access,
                                                                      .flags = d->flags,
                                                                      .offset = d->offset});
        ++it->second.refs;
        if (made && d->channel)
            object(*d->channel);
    }
    for (int fd = 0; fd < 3; ++fd) {
        if (p.fds.count(fd) || (p.std_closed & (1U << fd)) != 0)
            continue;
        size_t id = outside_description(processes, p, fd);
        shown.fds[fd] = id;
        bool seen = w.descriptions.count(id) > 0;
        add_given(w, id, fd,
                  seen ? std::nullopt
                       : relatives->given_channel(channels, origin_of(processes, p), fd),
                  object);
    }
}

} // namespace

World world_now(const Processes& processes, const Channels& channels, const Flows& flows)
{
    World w;
    LazyRelatives relatives(processes);
    std::function<void(size_t)> object = [&](size_t channel) {
        if (channel < channels.all().size() && !w.objects.count(channel))
            w.objects.emplace(channel, object_of(channels[channel], channel, flows));
    };
    for (const Process& p : processes.all()) {
        bool zombie = processes.zombie(p);
        if (p.thread_of != 0 || p.collected || (p.ended && !zombie))
            continue;
        WorldProcess shown{.pid = p.pid,
                           .parent = p.parent,
                           .program = p.program,
                           .life = zombie      ? WorldProcess::Life::zombie
                                   : p.stopped ? WorldProcess::Life::stopped
                                               : WorldProcess::Life::running,
                           .adopted_from = p.adopted ? p.former_parent : 0,
                           .group = p.group,
                           .blocked = p.blocked,
                           .hidden = p.hidden};
        for (const auto& [signal, what] : p.dispositions) // a process, not a thread: its own
            (what == call::SignalAction::Disposition::ignore ? shown.ignored : shown.handled)
                .insert(signal);
        if (!zombie)
            add_descriptors(w, shown, p, processes, channels, relatives, object);
        w.processes.push_back(std::move(shown));
    }
    for (const auto& [channel, got] : flows.all_received())
        if (got.count > 0)
            object(channel);
    return w;
}

void WorldLog::note(size_t step, World now)
{
    if (step >= keep_)
        return;
    if (changes_.empty() || changes_.back().step != step) {
        // The step before is done: the world it left is the base of this one.
        if (!changes_.empty() && changes_.back().empty())
            changes_.pop_back();
        changes_.push_back({.step = step});
        base_ = last_;
    }
    Change& c = changes_.back();
    c = Change{.step = step};
    std::map<int, const WorldProcess*> before;
    std::map<int, const WorldProcess*> after;
    for (const auto& p : base_.processes)
        before[p.pid] = &p;
    for (const auto& p : now.processes)
        after[p.pid] = &p;
    for (const auto& p : now.processes)
        if (auto it = before.find(p.pid); it == before.end() || !(*it->second == p))
            c.processes.push_back(p);
    for (const auto& p : base_.processes)
        if (!after.count(p.pid))
            c.processes_gone.push_back(p.pid);
    diff_maps(base_.descriptions, now.descriptions, c.descriptions, c.descriptions_gone);
    diff_maps(base_.objects, now.objects, c.objects, c.objects_gone);
    last_ = std::move(now);
}

void WorldLog::apply(World& world, const Change& change)
{
    // What went is removed first: a pid gone and seen again in one step
    // is there after it.
    for (int pid : change.processes_gone)
        std::erase_if(world.processes, [&](const WorldProcess& p) { return p.pid == pid; });
    for (const WorldProcess& p : change.processes) {
        auto at = std::find_if(world.processes.begin(), world.processes.end(),
                               [&](const WorldProcess& q) { return q.pid == p.pid; });
        if (at == world.processes.end())
            world.processes.push_back(p);
        else
            *at = p;
    }
    for (size_t id : change.descriptions_gone)
        world.descriptions.erase(id);
    for (const auto& [id, d] : change.descriptions)
        world.descriptions[id] = d;
    for (size_t id : change.objects_gone)
        world.objects.erase(id);
    for (const auto& [id, o] : change.objects)
        world.objects.insert_or_assign(id, o);
}

void WorldLog::finish(const Processes& processes, const Channels& channels)
{
    if (!changes_.empty() && changes_.back().empty())
        changes_.pop_back();
    // What a descriptor given from outside is open on, as its later use
    // told: said from the first step that shows it.
    std::set<size_t> told;
    const Relatives relatives(processes);
    for (Change& change : changes_)
        for (auto& [id, d] : change.descriptions) {
            if (!d.outside || d.object)
                continue;
            const Process* origin = processes.find(int(unsigned((id >> 2) & 0xffffffffU)));
            auto c = origin ? relatives.given_channel(channels, *origin, d.given_fd) : std::nullopt;
            if (!c)
                continue;
            d.object = c;
            bool there = std::any_of(change.objects.begin(), change.objects.end(),
                                     [&](const auto& o) { return o.first == *c; });
            if (told.insert(*c).second && !there)
                change.objects.emplace_back(*c, WorldObject{.channel = naming(channels[*c])});
        }
}

} // namespace timeline
