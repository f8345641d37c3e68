#include "model/processes.hpp"

#include <algorithm>

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
    Process& table = table_of(p);
    release(table, fd);
    table.fds[fd] = {channel, end, cloexec};
    if (channel)
        channels_.held(*channel);
}

void Processes::release(Process& p, int fd)
{
    Process& table = table_of(p);
    auto it = table.fds.find(fd);
    if (it == table.fds.end())
        return;
    if (auto c = it->second.channel)
        channels_.let_go(*c);
    table.fds.erase(it);
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

void Processes::inherit(Process& child, const Process& parent)
{
    child.fds = parent.fds;
    for (const auto& [fd, held] : child.fds)
        if (held.channel)
            channels_.held(*held.channel);
}

} // namespace timeline
