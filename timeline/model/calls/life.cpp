// Process life: a program starts or replaces another, a process or a
// thread is born, ends, is collected, asks who it is and who its parent is.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/paths.hpp"
#include "model/calls/handlers.hpp"

namespace timeline::handlers::life {
namespace {

// Where system programs live: once one of them replaces a process's
// image, its own calls are counted, not shown.
bool system_program(std::string_view path)
{
    constexpr std::array<std::string_view, 3> dirs = {"/usr/", "/bin/", "/sbin/"};
    return std::any_of(dirs.begin(), dirs.end(), [&](auto dir) { return path.starts_with(dir); });
}

// The command line as the program's arguments give it; an absolute path
// says where, not what: the name is enough.
std::string command_line(const call::Exec& a)
{
    std::string text;
    if (a.argv)
        for (const auto& word : *a.argv)
            text += (text.empty() ? "" : " ") + word;
    if (text.empty())
        return a.path;
    if (text.front() == '/')
        text.erase(0, text.find_last_of('/', text.find(' ')) + 1);
    return text;
}

// execlp and a shell try each folder of PATH in turn: one step.
void failed_exec(State& m, Process& p, const Call& c, const call::Exec& a, Step s)
{
    if (Step* last = m.steps.last_of(p)) {
        auto* tried = last->as<step::ExecFailed>();
        if (tried && last->error == c.error && base_name(tried->path) == base_name(a.path)) {
            ++tried->tries;
            tried->path = a.path;
            m.steps.grew(*last, s);
            return;
        }
    }
    s.what = step::ExecFailed{a.path};
    m.steps.add(std::move(s));
}

// The descriptors marked close-on-exec go as the new program starts.
std::vector<step::Dropped> close_on_exec(State& m, Process& p)
{
    std::vector<step::Dropped> closed;
    Process& table = m.processes.table_of(p);
    std::vector<int> marked;
    for (const auto& [fd, held] : table.fds)
        if (held.cloexec) {
            marked.push_back(fd);
            closed.push_back(
                {.fd = fd,
                 .channel = held.channel ? std::optional(m.channels[*held.channel]) : std::nullopt,
                 .end = held.end});
        }
    for (int fd : marked)
        m.processes.release(table, fd);
    return closed;
}

// A thread: the same process, its memory and its descriptors; a lane of
// its own, so that what threads do at once stays apart. It is no child:
// it is never a zombie and never collected.
void start_thread(State& m, Process& p, int tid, Step s)
{
    int leader_pid = p.thread_of != 0 ? p.thread_of : p.pid;
    Process& leader = m.processes.known(leader_pid);
    int number = ++leader.threads;
    std::string program = leader.program;
    bool all_blocked = p.all_blocked; // a thread starts with its creator's mask
    std::uint64_t blocked = p.blocked;
    double t = s.time;
    s.what = step::NewThread{tid, number};
    size_t new_step = m.steps.add(std::move(s));
    Process& thread = m.process(tid);
    thread.thread_of = leader_pid;
    thread.thread_number = number;
    thread.program = program;
    thread.started = true;
    thread.all_blocked = all_blocked;
    thread.blocked = blocked;
    size_t start = m.steps.add(
        {.pid = tid, .time = t, .what = step::ThreadStart{.leader = leader_pid, .number = number}});
    thread.programs = {{start, program}};
    m.steps.add_arrow({Arrow::Kind::fork, new_step, start, 0, std::nullopt});
}

// The child's birth: a step of its own, unless strace showed the child
// before its parent's clone returned.
void born(State& m, Process& child, const Process& parent, size_t fork_step, bool borrows, double t)
{
    if (child.born_step) {
        if (Step* birth = m.steps.live(*child.born_step))
            birth->as<step::Born>()->parent = parent.pid;
        m.steps.unpin(*child.born_step);
    } else {
        if (child.program.empty())
            child.program = parent.program;
        child.born_step =
            m.steps.add({.pid = child.pid,
                         .time = t,
                         .what = step::Born{.parent = parent.pid, .borrows = borrows}});
    }
    child.programs = {{*child.born_step, child.program}};
    m.steps.add_arrow({Arrow::Kind::fork, fork_step, *child.born_step, 0, std::nullopt});
}

// A child collected: its zombie time ends, and an arrow goes from its end
// to this wait.
void collect(State& m, const Call& c, const call::Wait& a, Step s)
{
    double t = s.time;
    int pid = s.pid;
    s.what = step::Collect{.child = a.child, .how = a.status, .waited = c.duration};
    size_t at = m.steps.add(std::move(s));
    Process* child = m.processes.find(a.child);
    if (!child)
        return;
    child->collected = t;
    child->collect_step = at;
    m.note_plumbing(PlumbingChange::collect, at, pid);
    auto& collect = *m.steps.live(at)->as<step::Collect>();
    if (child->ended) {
        collect.zombie_seconds = t - *child->ended;
        collect.at_once = *child->ended <= m.steps.live(at)->began;
    }
    if (!child->end_step)
        return;
    if (!collect.how)
        collect.how = child->end_how;
    m.steps.add_arrow({Arrow::Kind::collect, *child->end_step, at, 0, std::nullopt});
}

} // namespace

void exec(State& m, Process& p, const Call& c, const call::Exec& a, Step s)
{
    if (!c.finished)
        return;
    if (c.value != 0 || !c.error.empty()) {
        if (p.hidden) { // a system program's own search
            ++p.hidden_calls;
            return;
        }
        failed_exec(m, p, c, a, std::move(s));
        return;
    }
    std::vector<step::Dropped> closed = close_on_exec(m, p);
    p.shared_maps.clear(); // its memory is the new program's
    // Its handlers are gone with its code; what it ignores stays ignored.
    std::erase_if(p.dispositions, [](const auto& d) {
        return d.second == call::SignalAction::Disposition::handler;
    });
    if (Step* last = m.steps.last_of(p))
        if (auto* tried = last->as<step::ExecFailed>();
            tried && base_name(tried->path) == base_name(a.path))
            tried->found = true;
    if (p.hidden) { // a system program that starts another: still hidden
        ++p.hidden_calls;
        p.program = base_name(a.path);
        p.programs.emplace_back(m.steps.count(), p.program);
        return;
    }
    bool first = !p.started && !p.child;
    p.started = true;
    size_t closed_count = closed.size();
    if (first)
        s.what = step::Start{command_line(a)};
    else
        s.what = step::Exec{.path = a.path, .closed = std::move(closed)};
    p.program = base_name(a.path);
    if (p.spawned_by) { // vfork, posix_spawn: the parent spawned this program
        if (Step* fork = m.steps.live(*p.spawned_by))
            fork->as<step::Fork>()->spawns = p.program;
        m.steps.unpin(*p.spawned_by);
    }
    p.spawned_by.reset();
    size_t at = m.steps.add(std::move(s));
    p.programs.emplace_back(at, p.program);
    p.hidden = !first && system_program(a.path);
    p.fold.reset();
    if (!first) {
        m.note_plumbing(PlumbingChange::exec, at, p.pid);
        m.plumbing.closed_on_exec(at, closed_count);
    }
}

void spawn(State& m, Process& p, const Call& c, const call::Spawn& a, Step s)
{
    if (a.thread) {
        start_thread(m, p, int(c.value), std::move(s));
        return;
    }
    int pid = int(c.value);
    int parent_pid = p.pid;
    double t = s.time;
    s.what = step::Fork{.child = pid, .borrows = a.borrows};
    size_t fork_step = m.steps.add(std::move(s));
    // The child may have been seen already: strace can show its first
    // call before the parent's clone returns.
    bool seen = m.processes.find(pid) != nullptr;
    Process& child = m.process(pid);
    Process& parent = m.processes.known(parent_pid);
    child.parent = parent.pid;
    child.child = true;
    child.group = parent.group;
    if (!seen) {
        child.dispositions = m.processes.table_of(parent).dispositions;
        child.all_blocked = parent.all_blocked;
        child.blocked = parent.blocked;
        child.shared_maps = parent.shared_maps;
    }
    if (a.borrows) {
        child.spawned_by = fork_step;
        m.steps.pin(fork_step);
    }
    if (!seen) // a child seen early has closed some of them already
        m.processes.inherit(child, m.processes.table_of(parent));
    born(m, child, parent, fork_step, a.borrows, t);
    m.note_plumbing(PlumbingChange::fork, *child.born_step, parent_pid);
}

void exit(State& m, Process& p, const Call& /*unused*/, const call::Exit& a, Step s)
{
    s.what = step::Exit{a.status};
    p.end_step = m.steps.add(std::move(s));
    p.exit_called = true;
    p.end_how = ProcessEnd{.status = a.status & 0xff};
}

void wait(State& m, Process& p, const Call& c, const call::Wait& a, Step s)
{
    if (!c.finished) {
        s.what = step::WaitWaiting{};
    } else if (!c.error.empty()) {
        s.what = step::WaitNone{};
    } else if (a.child == 0) {
        // WNOHANG asking again and again: one step.
        if (Step* last = m.steps.last_of(p))
            if (auto* poll = last->as<step::WaitPoll>()) {
                ++poll->asks;
                m.steps.grew(*last, s);
                return;
            }
        s.what = step::WaitPoll{};
    } else if (a.change != call::Wait::Change::ended) {
        s.what =
            step::ChildChanged{a.child, a.change == call::Wait::Change::stopped, a.stop_signal};
    } else if (a.leaves_zombie) {
        const Process* child = m.processes.find(a.child);
        s.what = step::ChildChanged{.child = a.child,
                                    .stopped = false,
                                    .ended = a.status ? a.status
                                             : child  ? child->end_how
                                                      : std::nullopt};
    } else {
        collect(m, c, a, std::move(s));
        return;
    }
    m.steps.add(std::move(s));
}

void getpid(State& m, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::AskPid{int(c.value)};
    m.steps.add(std::move(s));
}

// A new answer means the process was adopted.
void getppid(State& m, Process& p, const Call& c, Step s)
{
    step::AskParent ask{.parent = int(c.value)};
    if (p.last_parent && *p.last_parent > 0 && *p.last_parent != ask.parent)
        ask.before = p.last_parent;
    else if (p.adopted && !p.asked_since_adopted)
        ask.former = p.former_parent;
    if (p.adopted && !p.asked_since_adopted && p.adopter == 0)
        p.adopter = ask.parent; // the trace could not tell who, till now
    p.asked_since_adopted = p.asked_since_adopted || p.adopted;
    p.last_parent = ask.parent;
    s.what = ask;
    m.steps.add(std::move(s));
}

// setpgid(pid, group): 0 for either means the caller's own pid.
void setpgid(State& m, Process& p, const Call& c, const call::Numbers& a, Step s)
{
    if (a.args.size() < 2 || !c.error.empty()) {
        as_written(m, p, c, std::move(s));
        return;
    }
    int pid = std::atoi(a.args[0].c_str());
    int group = std::atoi(a.args[1].c_str());
    pid = pid == 0 ? p.pid : pid;
    group = group == 0 ? pid : group;
    if (Process* target = m.processes.find(pid))
        target->group = group;
    s.what = step::ProcessGroup{.pid = pid, .group = group};
    m.steps.add(std::move(s));
}

void setsid(State& m, Process& p, const Call& c, Step s)
{
    if (!c.error.empty()) {
        as_written(m, p, c, std::move(s));
        return;
    }
    p.group = p.pid;
    s.what = step::ProcessGroup{.pid = p.pid, .group = p.pid, .session = true};
    m.steps.add(std::move(s));
}

// prctl(PR_SET_CHILD_SUBREAPER, 1): the orphans of its descendants come to
// it rather than to pid 1. Any other prctl as written.
void prctl(State& m, Process& p, const Call& c, const call::Numbers& a, Step s)
{
    if (a.args.size() < 2 || a.args[0] != "PR_SET_CHILD_SUBREAPER" || !c.error.empty()) {
        as_written(m, p, c, std::move(s));
        return;
    }
    p.subreaper = a.args[1] != "0";
    if (!p.subreaper)
        return;
    s.what = step::Subreaper{};
    m.steps.add(std::move(s));
}

void adopt_orphans(State& m, const Process& ended, double t)
{
    // The adopter: the nearest living subreaper among the ancestors.
    int adopter = 0;
    const Process* up = ended.parent != 0 ? m.processes.find(ended.parent) : nullptr;
    for (size_t hops = 0; up && hops <= m.processes.all().size(); ++hops) { // a trace may loop
        if (up->subreaper && !up->ended) {
            adopter = up->pid;
            break;
        }
        up = up->parent != 0 ? m.processes.find(up->parent) : nullptr;
    }
    // Its children still alive, and those that ended and it never
    // collected: the adopter collects these at once.
    std::vector<int> orphans;
    for (const Process& q : m.processes.all())
        if (q.parent == ended.pid && q.thread_of == 0 && !q.collected && q.pid != ended.pid &&
            (q.child || !q.ended))
            orphans.push_back(q.pid);
    for (int pid : orphans) {
        Process& orphan = m.processes.known(pid);
        orphan.adopted = true;
        orphan.adopter = adopter;
        orphan.former_parent = ended.pid;
        orphan.asked_since_adopted = false;
        m.steps.add({.pid = pid,
                     .time = t,
                     .what = step::Adopted{
                         .former = ended.pid, .by = adopter, .zombie = orphan.ended.has_value()}});
    }
}

} // namespace timeline::handlers::life
