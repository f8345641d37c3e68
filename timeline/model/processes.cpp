#include "model/processes.hpp"

#include <algorithm>

#include "model/world.hpp"

namespace timeline {

std::optional<size_t> Processes::look_up(int pid) const
{
    auto it = index_.find(pid);
    if (it == index_.end())
        return std::nullopt;
    last_pid_ = pid;
    last_index_ = it->second;
    return it->second;
}

Process* Processes::find(int pid)
{
    auto index = index_of(pid);
    return index ? &processes_[*index] : nullptr;
}

const Process* Processes::find(int pid) const
{
    auto index = index_of(pid);
    return index ? &processes_[*index] : nullptr;
}

Process& Processes::of(int pid, int run)
{
    if (Process* p = find(pid))
        return *p;
    index_[pid] = processes_.size();
    Process& p = processes_.emplace_back();
    p.pid = pid;
    p.run = run;
    return p;
}

bool Processes::all_ended() const
{
    return std::all_of(processes_.begin(), processes_.end(),
                       [](const Process& q) { return q.ended.has_value(); });
}

Process& Processes::table_of(Process& p)
{
    Process* leader = p.thread_of != 0 ? find(p.thread_of) : nullptr;
    return leader ? *leader : p;
}

void Processes::hold(Process& p, int fd, std::optional<size_t> channel, End end, bool cloexec)
{
    Description made{.channel = channel, .end = end};
    made.access = end == End::read    ? Access::read
                  : end == End::write ? Access::write
                                      : Access::read_write;
    hold(p, fd, std::move(made), cloexec);
}

void Processes::hold(Process& p, int fd, Description made, bool cloexec)
{
    Process& table = table_of(p);
    release(table, fd);
    size_t id = next_description_++;
    made.refs = 1;
    table.fds[fd] = {made.channel, made.end, cloexec, id};
    if (fd >= 0 && fd < 3)
        table.std_closed &= ~(1U << fd);
    if (made.channel)
        channels_.held(*made.channel);
    descriptions_.emplace(id, std::move(made));
}

void Processes::share(Process& p, int fd, const Held& from, bool cloexec)
{
    Held copy = from; // `from` may be the entry that the release below erases
    Process& table = table_of(p);
    release(table, fd);
    copy.cloexec = cloexec;
    table.fds[fd] = copy;
    if (fd >= 0 && fd < 3)
        table.std_closed &= ~(1U << fd);
    if (copy.channel)
        channels_.held(*copy.channel);
    if (Description* d = description(copy.description))
        ++d->refs;
}

const Description* Processes::description(size_t id) const
{
    auto it = descriptions_.find(id);
    return it == descriptions_.end() ? nullptr : &it->second;
}

Description* Processes::description(size_t id)
{
    auto it = descriptions_.find(id);
    return it == descriptions_.end() ? nullptr : &it->second;
}

void Processes::let_go(size_t id)
{
    auto it = descriptions_.find(id);
    if (it != descriptions_.end() && --it->second.refs <= 0)
        descriptions_.erase(it);
}

void Processes::release(Process& p, int fd)
{
    Process& table = table_of(p);
    if (fd >= 0 && fd < 3) // one given from outside is closed too
        table.std_closed |= 1U << fd;
    auto it = table.fds.find(fd);
    if (it == table.fds.end())
        return;
    if (auto c = it->second.channel)
        channels_.let_go(*c);
    let_go(it->second.description);
    table.fds.erase(it);
}

Held* Processes::entry(Process& p, int fd, std::optional<size_t> channel)
{
    Process& table = table_of(p);
    auto it = table.fds.find(fd);
    if (it != table.fds.end())
        return &it->second;
    if (fd < 0 || fd > 2 || (table.std_closed & (1U << fd)) != 0)
        return nullptr;
    share(p, fd, {.channel = channel, .description = outside_description(*this, p, fd)}, false);
    return &table.fds.at(fd);
}

void Processes::pass(size_t via, const Held& held)
{
    passing_[via].push_back(held);
    if (held.channel)
        channels_.held(*held.channel);
    if (Description* d = description(held.description))
        ++d->refs;
}

void Processes::drop_passed(size_t via, int count)
{
    auto it = passing_.find(via);
    for (; it != passing_.end() && !it->second.empty() && count > 0; --count) {
        Held held = it->second.front();
        it->second.pop_front();
        if (held.channel)
            channels_.let_go(*held.channel);
        let_go(held.description);
    }
}

bool Processes::take(Process& p, int fd, size_t via, bool cloexec)
{
    auto it = passing_.find(via);
    if (it == passing_.end() || it->second.empty())
        return false;
    Held held = it->second.front();
    it->second.pop_front();
    share(p, fd, held, cloexec);
    // The message's own reference goes, now that a descriptor holds it.
    if (held.channel)
        channels_.let_go(*held.channel);
    let_go(held.description);
    return true;
}

int Processes::holders(size_t channel, End end, int pid) const
{
    int count = 0;
    for (const Process& p : processes_) {
        if (p.thread_of != 0 || p.ended || p.pid == pid)
            continue;
        for (const auto& [fd, held] : p.fds)
            count += held.channel == channel && held.end == end;
    }
    return count;
}

bool Processes::side_open_before(size_t channel, End side, double time) const
{
    return std::ranges::any_of(descriptions_, [&](const auto& entry) {
        const Description& d = entry.second;
        return d.channel == channel && d.since < time &&
               (d.end == side || d.access == Access::read_write);
    });
}

void Processes::inherit(Process& child, const Process& parent)
{
    while (!child.fds.empty()) // what it held before goes
        release(child, child.fds.begin()->first);
    child.fds = parent.fds;
    child.std_closed = parent.std_closed;
    for (const auto& [fd, held] : child.fds) {
        if (held.channel)
            channels_.held(*held.channel);
        if (Description* d = description(held.description))
            ++d->refs;
    }
}

} // namespace timeline
