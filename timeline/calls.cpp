// The table of calls: which handler each one goes to, and the dispatch
// that runs it.
#include "calls.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>

namespace timeline {
namespace {

using Handler = void (*)(Run&, Process&, const Call&, Step);

// A handler that takes the call's decoded arguments: the call goes to it
// when the reader decoded them, and is shown as written otherwise.
template <class Args, void (*Typed)(Run&, Process&, const Call&, const Args&, Step)>
void with(Run& run, Process& p, const Call& c, Step s)
{
    if (const auto* args = std::get_if<Args>(&c.args))
        Typed(run, p, c, *args, std::move(s));
    else
        Calls::as_written(run, p, c, std::move(s));
}

enum class Runs {
    as_step, // a step of the lesson, unless a system program or a hidden file made it
    quietly, // housekeeping: never a step of its own
    always, // even in a system program after exec: exec itself
};

struct Row {
    std::string_view name;
    Handler handler;
    Runs runs = Runs::as_step;
};

// Every call the model knows, by name, family by family. A call not
// listed is shown as written.
constexpr Row kCalls[] = {
    // Process life.
    {"fork", with<call::Spawn, Calls::spawn>},
    {"vfork", with<call::Spawn, Calls::spawn>},
    {"clone", with<call::Spawn, Calls::spawn>},
    {"clone3", with<call::Spawn, Calls::spawn>},
    {"execve", with<call::Exec, Calls::exec>, Runs::always},
    {"execveat", with<call::Exec, Calls::exec>, Runs::always},
    {"exit", with<call::Exit, Calls::exit>},
    {"exit_group", with<call::Exit, Calls::exit>},
    {"wait4", with<call::Wait, Calls::wait>},
    {"waitpid", with<call::Wait, Calls::wait>},
    {"waitid", with<call::Wait, Calls::wait>},
    {"getpid", Calls::getpid},
    {"getppid", Calls::getppid},
    // Signals.
    {"kill", with<call::Kill, Calls::kill>},
    {"flock", Calls::lock},
    {"tkill", with<call::Kill, Calls::kill>},
    {"tgkill", with<call::Kill, Calls::kill>},
    // Descriptors.
    {"pipe", with<call::FdPair, Calls::pipe>},
    {"socketpair", with<call::FdPair, Calls::socketpair>},
    {"pipe2", with<call::FdPair, Calls::pipe>},
    {"mknod", with<call::MakeFifo, Calls::make_fifo>},
    {"mknodat", with<call::MakeFifo, Calls::make_fifo>},
    {"open", with<call::Open, Calls::open>},
    {"openat", with<call::Open, Calls::open>},
    {"close", with<call::Close, Calls::close>},
    {"dup", with<call::Dup, Calls::dup>},
    {"dup2", with<call::Dup, Calls::dup>},
    {"dup3", with<call::Dup, Calls::dup>},
    // Sockets, eventfds, signalfds.
    {"socket", with<call::NewFd, Calls::new_fd>},
    {"accept", with<call::NewFd, Calls::new_fd>},
    {"accept4", with<call::NewFd, Calls::new_fd>},
    {"eventfd", with<call::NewFd, Calls::new_fd>},
    {"eventfd2", with<call::NewFd, Calls::new_fd>},
    {"signalfd4", with<call::NewFd, Calls::new_fd>},
    {"bind", with<call::SocketAddress, Calls::socket_address>},
    {"connect", with<call::SocketAddress, Calls::socket_address>},
    {"listen", with<call::SocketAddress, Calls::socket_address>},
    // An fstat tells whether a descriptor is a FIFO.
    {"fstat", with<call::Stat, Calls::stat>, Runs::quietly},
    {"newfstatat", with<call::Stat, Calls::stat>, Runs::quietly},
    {"statx", with<call::Stat, Calls::stat>, Runs::quietly},
    // Data.
    {"read", with<call::Transfer, Calls::transfer>},
    {"pread64", with<call::Transfer, Calls::transfer>},
    {"write", with<call::Transfer, Calls::transfer>},
    {"pwrite64", with<call::Transfer, Calls::transfer>},
    {"sendto", with<call::Transfer, Calls::transfer>},
    {"recvfrom", with<call::Transfer, Calls::transfer>},
    {"ioctl", Calls::ioctl},
    // Time.
    {"nanosleep", with<call::Sleep, Calls::sleep>},
    {"clock_nanosleep", with<call::Sleep, Calls::sleep>},
    {"restart_syscall", Calls::sleep_goes_on},
    // The C library's and the loader's own work at start-up and in stdio:
    // never part of a lesson.
    {"access", Calls::ignore, Runs::quietly},
    {"arch_prctl", Calls::ignore, Runs::quietly},
    {"brk", Calls::ignore, Runs::quietly},
    {"clock_gettime", Calls::ignore, Runs::quietly},
    {"faccessat", Calls::ignore, Runs::quietly},
    {"faccessat2", Calls::ignore, Runs::quietly},
    {"futex", Calls::ignore, Runs::quietly},
    {"getcwd", Calls::ignore, Runs::quietly},
    {"getegid", Calls::ignore, Runs::quietly},
    {"geteuid", Calls::ignore, Runs::quietly},
    {"getgid", Calls::ignore, Runs::quietly},
    {"getrandom", Calls::ignore, Runs::quietly},
    {"gettid", Calls::ignore, Runs::quietly},
    {"gettimeofday", Calls::ignore, Runs::quietly},
    {"getuid", Calls::ignore, Runs::quietly},
    {"lseek", Calls::ignore, Runs::quietly},
    {"lstat", Calls::ignore, Runs::quietly},
    {"madvise", Calls::ignore, Runs::quietly},
    {"mmap", Calls::ignore, Runs::quietly},
    {"mprotect", Calls::ignore, Runs::quietly},
    {"mremap", Calls::ignore, Runs::quietly},
    {"munmap", Calls::ignore, Runs::quietly},
    {"prlimit64", Calls::ignore, Runs::quietly},
    {"readlink", Calls::ignore, Runs::quietly},
    {"readlinkat", Calls::ignore, Runs::quietly},
    {"rseq", Calls::ignore, Runs::quietly},
    {"rt_sigaction", Calls::ignore, Runs::quietly},
    {"rt_sigprocmask", Calls::ignore, Runs::quietly},
    {"rt_sigreturn", Calls::ignore, Runs::quietly},
    {"sched_getaffinity", Calls::ignore, Runs::quietly},
    {"set_robust_list", Calls::ignore, Runs::quietly},
    {"set_tid_address", Calls::ignore, Runs::quietly},
    {"sigaltstack", Calls::ignore, Runs::quietly},
    {"stat", Calls::ignore, Runs::quietly},
    {"sysinfo", Calls::ignore, Runs::quietly},
    {"time", Calls::ignore, Runs::quietly},
    {"uname", Calls::ignore, Runs::quietly},
};

const Row* row_for(std::string_view name)
{
    static const auto by_name = [] {
        std::unordered_map<std::string_view, const Row*> index;
        for (const Row& row : kCalls)
            index.emplace(row.name, &row);
        return index;
    }();
    // A trace repeats its calls: the last one asked is asked again.
    thread_local std::string_view last_name;
    thread_local const Row* last = nullptr;
    if (name == last_name && !name.empty())
        return last;
    auto it = by_name.find(name);
    last = it == by_name.end() ? nullptr : it->second;
    last_name = last ? last->name : std::string_view();
    return last;
}

// Files that the loader, the locale and the time zone read.
constexpr std::array<std::string_view, 13> kHiddenPaths = {
    "/etc/ld.so",
    "/lib/",
    "/lib64/",
    "/usr/lib/",
    "/usr/lib64/",
    "/usr/share/zoneinfo",
    "/etc/localtime",
    "/usr/share/locale",
    "/etc/nsswitch.conf",
    "/etc/passwd",
    "/etc/group",
    "/proc/",
    "/sys/",
};

} // namespace

bool hidden_path(std::string_view path)
{
    return std::any_of(kHiddenPaths.begin(), kHiddenPaths.end(),
                       [&](std::string_view p) { return path.substr(0, p.size()) == p; });
}

// A read or write of a system program on a pipe or FIFO made in this run,
// which joins it to another traced process (a shell's pipeline): shown,
// with its data arrow, where its other calls are only counted.
bool Calls::joins_traced_processes(const Run& run, const Call& c)
{
    if (!std::holds_alternative<call::Transfer>(c.args) || !c.fd)
        return false;
    auto it = run.channel_by_target_.find(c.fd->target.name);
    if (it == run.channel_by_target_.end())
        return false;
    const Channel& channel = run.channels_[it->second];
    return channel.created_here && channel.carries_data();
}

void Calls::dispatch(Run& run, Process& p, const Call& c, double t)
{
    const Row* row = row_for(c.name);
    Runs runs = row ? row->runs : Runs::as_step;
    if (p.hidden && runs != Runs::always && !joins_traced_processes(run, c)) {
        if (!std::holds_alternative<call::Exit>(c.args))
            ++p.hidden_calls;
        if (std::holds_alternative<call::Spawn>(c.args) && c.value > 0)
            hidden_child(run, p, int(c.value));
        return;
    }
    Step s{.pid = p.pid, .time = t, .error = c.error};
    if (runs == Runs::quietly) {
        row->handler(run, p, c, std::move(s));
        return;
    }
    if (c.fd && c.fd->target.kind == Target::Kind::path && hidden_path(c.fd->target.name))
        return;
    if (c.fd)
        s.channel = run.channel_for(c.fd->target);
    // What standard input, output and error were given, seen when used.
    if (c.fd && s.channel && c.fd->number >= 0 && c.fd->number <= 2 &&
        !run.files_of(p).fds.count(c.fd->number))
        run.files_of(p).inherited.emplace(c.fd->number, run.channels_[*s.channel].name);
    (row ? row->handler : as_written)(run, p, c, std::move(s));
}

// A system program's child runs its program, hidden as well. Its parent's
// wait is not followed, so it is never said to be a zombie.
void Calls::hidden_child(Run& run, Process& p, int pid)
{
    std::string program = p.program;
    int parent = p.pid;
    Process& child = run.process_for(pid); // may move `p`
    child.program = program;
    child.parent = parent;
    child.hidden = true;
    child.started = true;
}

void Calls::as_written(Run& run, Process& /*unused*/, const Call& c, Step s)
{
    const auto* unknown = std::get_if<call::Unknown>(&c.args);
    s.channel.reset();
    s.what = step::Call{unknown ? unknown->text : c.name + "(...)"};
    run.add_step(std::move(s));
}

// Every handler takes the step it may add by value; this one adds none.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void Calls::ignore(Run& /*unused*/, Process& /*unused*/, const Call& /*unused*/, Step /*unused*/) {}

} // namespace timeline
