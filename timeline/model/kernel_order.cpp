#include "model/kernel_order.hpp"

#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <variant>

namespace timeline {
namespace {

// A process the trace shows alive: one whose end is still to come.
bool still_alive(const State& m, int pid)
{
    const Process* p = m.processes.find(pid);
    return p && !p->ended && p->thread_of == 0;
}

bool ends_child(const std::string& code)
{
    return code == "CLD_EXITED" || code == "CLD_KILLED" || code == "CLD_DUMPED";
}

// The pipe or FIFO a descriptor points at, if the model knows it.
const Channel* pipe_of(const State& m, const Fd& fd, size_t& index)
{
    auto found = m.channels.find(fd.target.name);
    if (!found)
        return nullptr;
    const Channel& channel = m.channels[*found];
    if (channel.kind != Channel::Kind::pipe && channel.kind != Channel::Kind::fifo)
        return nullptr;
    index = *found;
    return &channel;
}

// Whose descriptor table a process uses: a thread's is its process's.
int table_pid(const State& m, int pid)
{
    const Process* p = m.processes.find(pid);
    return p && p->thread_of != 0 ? p->thread_of : pid;
}

// A read: end of data while another process holds a write end; more bytes
// than were written and not read yet, while a writer may still write them.
bool read_waits(const State& m, int pid, const Call& c)
{
    size_t index = 0;
    if (!c.fd || !pipe_of(m, *c.fd, index))
        return false;
    if (c.value > 0) {
        auto unread = m.flows.unread(index);
        if (!unread || *unread >= c.value)
            return false;
    }
    return m.processes.holders(index, End::write, table_pid(m, pid)) > 0;
}

// An open of a FIFO for reading or writing alone.
const call::Open* fifo_open(const State& m, const Call& c)
{
    const auto* open = std::get_if<call::Open>(&c.args);
    size_t index = 0;
    if (!open || !c.finished || !c.error.empty() || !open->result ||
        open->access == Access::read_write || !pipe_of(m, *open->result, index) ||
        m.channels[index].kind != Channel::Kind::fifo)
        return nullptr;
    return open;
}

// An open of a FIFO that waited for the other side: it returns as the
// other side's open does, so not before some process holds that side (it
// may be itself, or a descriptor in flight). One with O_NONBLOCK does not
// wait.
bool fifo_open_waits(const State& m, const Call& c, const call::Open& a)
{
    constexpr double kBlocked = 0.001;
    size_t index = 0;
    if (!fifo_open(m, c) || c.duration < kBlocked || !pipe_of(m, *a.result, index) ||
        a.flags.find("O_NONBLOCK") != std::string::npos)
        return false;
    End other = a.access == Access::read ? End::write : End::read;
    return !m.processes.side_open_before(index, other, std::numeric_limits<double>::infinity());
}

bool call_waits(const State& m, int pid, const Call& c)
{
    if (!c.finished || !c.error.empty())
        return false;
    if (const auto* transfer = std::get_if<call::Transfer>(&c.args))
        return transfer->is_read && read_waits(m, pid, c);
    if (const auto* wait = std::get_if<call::Wait>(&c.args))
        return wait->child > 0 && wait->change == call::Wait::Change::ended &&
               still_alive(m, wait->child);
    if (const auto* open = std::get_if<call::Open>(&c.args))
        return fifo_open_waits(m, c, *open);
    return false;
}

} // namespace

bool KernelOrder::waits(const State& m, const Event& e) const
{
    if (unborn_.contains(e.pid)) // its fork waits: so does all it does
        return true;
    if (const auto* c = std::get_if<Call>(&e.what))
        return call_waits(m, e.pid, *c) && !other_side_waits(m, e.pid, *c);
    // SIGCHLD for a child's end comes after that end.
    if (const auto* s = std::get_if<Signal>(&e.what))
        return s->name == "SIGCHLD" && s->sender > 0 && ends_child(s->code) &&
               still_alive(m, s->sender);
    return false;
}

// The two sides of a FIFO open together: when one waits already, the
// other goes first, and lets it go.
bool KernelOrder::other_side_waits(const State& m, int pid, const Call& c) const
{
    const call::Open* open = fifo_open(m, c);
    if (!open)
        return false;
    for (const auto& [held_pid, queue] : held_) {
        const auto* other = std::get_if<Call>(&queue.front().event.what);
        const call::Open* side = held_pid != pid && other ? fifo_open(m, *other) : nullptr;
        if (side && side->access != open->access &&
            side->result->target.name == open->result->target.name)
            return true;
    }
    return false;
}

void KernelOrder::note(const Event& e, int change)
{
    const auto* c = std::get_if<Call>(&e.what);
    if (!c || !std::holds_alternative<call::Spawn>(c->args) || c->value <= 0)
        return;
    int child = int(c->value);
    if (change > 0)
        unborn_.insert(child);
    else if (auto it = unborn_.find(child); it != unborn_.end())
        unborn_.erase(it);
}

void KernelOrder::hold(const Event& e, bool waiting)
{
    held_[e.pid].push_back({.event = e, .waiting = waiting});
    ++count_;
    note(e, +1);
}

void KernelOrder::release(const State& m, double latest, const Apply& apply)
{
    for (bool went = true; went && !held_.empty();) {
        went = false;
        for (auto it = held_.begin(); it != held_.end();) {
            auto& queue = it->second;
            while (!queue.empty()) {
                Held& front = queue.front();
                bool late = front.event.time + kPatience < latest || count_ > kHeldAtMost;
                bool still = waits(m, front.event);
                if (still && !late) {
                    front.waiting = true;
                    break;
                }
                Released how = front.waiting && !still ? Released::after_cause
                               : front.caused          ? Released::after_previous
                                                       : Released::in_time;
                Held going = std::move(front);
                queue.pop_front();
                --count_;
                note(going.event, -1);
                if (!queue.empty())
                    queue.front().caused = how != Released::in_time;
                apply(going.event, how);
                went = true;
            }
            it = queue.empty() ? held_.erase(it) : std::next(it);
        }
    }
}

void KernelOrder::release_all(const Apply& apply)
{
    // The earliest first, across processes.
    while (!held_.empty()) {
        auto first = held_.begin();
        for (auto it = held_.begin(); it != held_.end(); ++it)
            if (it->second.front().event.time < first->second.front().event.time)
                first = it;
        Held going = std::move(first->second.front());
        first->second.pop_front();
        --count_;
        note(going.event, -1);
        if (first->second.empty())
            held_.erase(first);
        else
            first->second.front().caused = going.caused;
        apply(going.event, going.caused ? Released::after_previous : Released::in_time);
    }
}

} // namespace timeline
