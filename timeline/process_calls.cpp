// Process life: a program starts or replaces another, a process is born,
// ends, is collected, asks who it is and who its parent is, signals
// another.
#include <array>
#include <string_view>

#include "calls.hpp"

namespace timeline {
namespace {

// Where system programs live: once one of them replaces a process's
// image, its own calls are counted, not shown.
bool system_program(std::string_view path)
{
    constexpr std::array<std::string_view, 3> dirs = {"/usr/", "/bin/", "/sbin/"};
    for (auto dir : dirs)
        if (path.substr(0, dir.size()) == dir)
            return true;
    return false;
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

} // namespace

void Calls::exec(Run& run, Process& p, const Call& c, const call::Exec& a, Step s)
{
    if (!c.finished)
        return;
    if (c.value != 0 || !c.error.empty()) {
        // execlp and a shell try each folder of PATH in turn: one step.
        if (Step* last = p.fold ? run.live(*p.fold) : nullptr) {
            auto* tried = last->as<step::ExecFailed>();
            if (tried && last->error == c.error && base_name(tried->path) == base_name(a.path)) {
                ++tried->tries;
                tried->path = a.path;
                return;
            }
        }
        s.what = step::ExecFailed{a.path};
        run.add_step(std::move(s));
        return;
    }
    if (p.hidden)
        return; // a system program that starts another: still hidden
    bool first = !p.started && !p.child;
    p.started = true;
    if (first)
        s.what = step::Start{command_line(a)};
    else
        s.what = step::Exec{a.path};
    p.program = base_name(a.path);
    if (p.spawned_by) { // vfork, posix_spawn: the parent spawned this program
        if (Step* fork = run.live(*p.spawned_by))
            fork->as<step::Fork>()->spawns = p.program;
        run.unpin(*p.spawned_by);
    }
    p.spawned_by.reset();
    size_t at = run.add_step(std::move(s));
    p.programs.emplace_back(at, p.program);
    p.hidden = !first && system_program(a.path);
    p.fold.reset();
    if (!first)
        run.note_plumbing(PlumbingChange::exec, at, p.pid);
}

void Calls::spawn(Run& run, Process& p, const Call& c, const call::Spawn& a, Step s)
{
    if (a.thread) {
        start_thread(run, p, int(c.value), std::move(s));
        return;
    }
    int pid = int(c.value);
    int parent_pid = p.pid;
    double t = s.time;
    s.what = step::Fork{.child = pid, .borrows = a.borrows};
    size_t fork_step = run.add_step(std::move(s));
    // The child may have been seen already: strace can show its first
    // call before the parent's clone returns.
    bool seen = run.index_of(pid).has_value();
    Process& child = run.process_for(pid);
    Process& parent = run.known(parent_pid);
    child.parent = parent.pid;
    child.child = true;
    if (a.borrows) {
        child.spawned_by = fork_step;
        run.pin(fork_step);
    }
    if (!seen) // a child seen early has closed some of them already
        run.inherit(child, run.files_of(parent));
    if (child.born_step) {
        if (Step* born = run.live(*child.born_step))
            born->as<step::Born>()->parent = parent.pid;
        run.unpin(*child.born_step);
    } else {
        if (!seen || child.program.rfind("pid ", 0) == 0)
            child.program = parent.program;
        child.born_step =
            run.add_step({.pid = pid,
                          .time = t,
                          .what = step::Born{.parent = parent.pid, .borrows = a.borrows}});
    }
    child.programs = {{*child.born_step, child.program}};
    run.add_arrow({Arrow::Kind::fork, fork_step, *child.born_step, 0, std::nullopt});
    run.note_plumbing(PlumbingChange::fork, *child.born_step, parent_pid);
}

// A thread: the same process, its memory and its descriptors; a lane of
// its own, so that what threads do at once stays apart. It is no child:
// it is never a zombie and never collected.
void Calls::start_thread(Run& run, Process& p, int tid, Step s)
{
    int leader_pid = p.thread_of != 0 ? p.thread_of : p.pid;
    Process& leader = run.known(leader_pid);
    int number = ++leader.threads;
    std::string program = leader.program;
    double t = s.time;
    s.what = step::NewThread{tid, number};
    size_t new_step = run.add_step(std::move(s));
    Process& thread = run.process_for(tid);
    thread.thread_of = leader_pid;
    thread.thread_number = number;
    thread.program = program;
    thread.started = true;
    size_t start = run.add_step(
        {.pid = tid, .time = t, .what = step::ThreadStart{.leader = leader_pid, .number = number}});
    thread.programs = {{start, program}};
    run.add_arrow({Arrow::Kind::fork, new_step, start, 0, std::nullopt});
}

void Calls::exit(Run& run, Process& p, const Call& /*unused*/, const call::Exit& a, Step s)
{
    s.what = step::Exit{a.status};
    p.end_step = run.add_step(std::move(s));
    p.exit_called = true;
    p.end_how = ProcessEnd{.status = a.status & 0xff};
}

void Calls::wait(Run& run, Process& p, const Call& c, const call::Wait& a, Step s)
{
    if (!c.finished) {
        s.what = step::WaitWaiting{};
    } else if (!c.error.empty()) {
        s.what = step::WaitNone{};
    } else if (a.child == 0) {
        // WNOHANG asking again and again: one step.
        if (Step* last = p.fold ? run.live(*p.fold) : nullptr)
            if (auto* poll = last->as<step::WaitPoll>()) {
                ++poll->asks;
                return;
            }
        s.what = step::WaitPoll{};
    } else if (a.change != call::Wait::Change::ended) {
        s.what =
            step::ChildChanged{a.child, a.change == call::Wait::Change::stopped, a.stop_signal};
    } else {
        collect(run, c, a, std::move(s));
        return;
    }
    run.add_step(std::move(s));
}

// A child collected: its zombie time ends, and an arrow goes from its end
// to this wait.
void Calls::collect(Run& run, const Call& c, const call::Wait& a, Step s)
{
    double t = s.time;
    s.what = step::Collect{.child = a.child, .how = a.status, .waited = c.duration};
    size_t at = run.add_step(std::move(s));
    auto index = run.index_of(a.child);
    if (!index)
        return;
    Process& child = run.processes_[*index];
    child.collected = t;
    child.collect_step = at;
    run.note_plumbing(PlumbingChange::collect, at, run.live(at)->pid);
    auto& collect = *run.live(at)->as<step::Collect>();
    if (child.ended)
        collect.zombie_seconds = t - *child.ended;
    if (!child.end_step)
        return;
    if (!collect.how)
        collect.how = child.end_how;
    run.add_arrow({Arrow::Kind::collect, *child.end_step, at, 0, std::nullopt});
}

void Calls::getpid(Run& run, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::AskPid{int(c.value)};
    run.add_step(std::move(s));
}

// A new answer means the process was adopted.
void Calls::getppid(Run& run, Process& p, const Call& c, Step s)
{
    step::AskParent ask{.parent = int(c.value)};
    if (p.last_parent && *p.last_parent > 0 && *p.last_parent != ask.parent)
        ask.before = p.last_parent;
    p.last_parent = ask.parent;
    s.what = ask;
    run.add_step(std::move(s));
}

void Calls::kill(Run& run, Process& p, const Call& c, const call::Kill& a, Step s)
{
    s.what = step::Kill{a.target, a.signal};
    size_t at = run.add_step(std::move(s));
    if (a.target > 0 && c.error.empty())
        run.signals_sent_[a.target].push_back({at, p.pid, a.signal}); // its arrival draws an arrow
}

} // namespace timeline
