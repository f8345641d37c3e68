#include "words.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "base/language.hpp"
#include "base/safe_text.hpp"
#include "base/vocabulary.hpp"

namespace family {
namespace {

using timeline::Article;
using timeline::fill;
using timeline::tr;

// "pipe A (fd 3)", "the terminal (fd 0)", with the article its language
// gives it; "fd 9" for one it no longer has.
std::string fd_name(Family& family, const ProcInfo& p, unsigned long fd)
{
    std::string number = std::to_string(long(fd));
    for (const auto& f : p.fds)
        if (f.fd == int(fd))
            return fill(tr("{1} (fd {2})"), {family.names().of(f, Article::definite), number});
    return fill(tr("fd {1}"), {number});
}

// An open that waits: on a FIFO, for the other side.
std::string open_words(Family& family, const ProcInfo& p, unsigned long path_at,
                       unsigned long flags)
{
    (void)family;
    auto path = read_string(p.pid, path_at);
    if (!path)
        return tr("in an open");
    // A relative path is the process's: from its working folder.
    std::string where =
        path->starts_with("/") ? *path : "/proc/" + std::to_string(p.pid) + "/cwd/" + *path;
    struct stat st {};
    if (stat(where.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        std::string fifo = timeline::thing_name(
            {.kind = timeline::Thing::Kind::fifo, .path = *path}, Article::definite);
        return fill((flags & O_ACCMODE) == O_RDONLY
                        ? tr("in the open of {1}, waiting for a writer")
                        : tr("in the open of {1}, waiting for a reader"),
                    {fifo});
    }
    return fill(tr("in the open of {1}"), {*path});
}

std::string sleep_words(const ProcInfo& p, unsigned long at)
{
    auto asked = read_value<timespec>(p.pid, at);
    if (!asked)
        return tr("asleep");
    return fill(tr("asleep for {1}"),
                {timeline::seconds_text(double(asked->tv_sec) + double(asked->tv_nsec) / 1e9)});
}

// A call that waits for a child, a signal, a time or one of several
// descriptors, in words; "" for another.
std::string wait_words(const ProcInfo& p)
{
    const auto& a = p.args;
    switch (p.syscall) {
    case SYS_wait4:
    case SYS_waitid:
        return tr("waiting for a child");
#ifdef SYS_nanosleep
    case SYS_nanosleep:
        return sleep_words(p, a[0]);
#endif
    case SYS_clock_nanosleep:
        return sleep_words(p, a[2]);
#ifdef SYS_pause
    case SYS_pause:
        return tr("waiting for a signal in pause");
#endif
    case SYS_rt_sigsuspend:
        return tr("waiting for a signal in sigsuspend");
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll:
        return tr("waiting in poll");
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6:
        return tr("waiting in select");
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
    case SYS_epoll_pwait2:
        return tr("waiting in epoll_wait");
    case SYS_futex:
        return tr("waiting on a futex (a lock or a condition between threads)");
    case SYS_restart_syscall:
        // A sleep or a wait that a stop (Ctrl-Z, SIGSTOP) interrupted,
        // taken up again where it was.
        return tr("sleeping again in the call a stop interrupted (restart_syscall)");
    default:
        return "";
    }
}

// The call a sleeping process is in, in words, by the kernel's numbers
// for this machine (<sys/syscall.h>).
std::string call_words(Family& family, const ProcInfo& p)
{
    const auto& a = p.args;
    switch (p.syscall) {
    case SYS_read:
    case SYS_pread64:
    case SYS_readv:
    case SYS_preadv:
        return fill(tr("sleeping in read on {1}"), {fd_name(family, p, a[0])});
    case SYS_write:
    case SYS_pwrite64:
    case SYS_writev:
    case SYS_pwritev:
        return fill(tr("sleeping in write on {1}: it is full"), {fd_name(family, p, a[0])});
#ifdef SYS_open
    case SYS_open:
        return open_words(family, p, a[0], a[1]);
#endif
    case SYS_openat:
        return open_words(family, p, a[1], a[2]);
    case SYS_accept:
    case SYS_accept4:
        return fill(tr("waiting for a connection on {1}"), {fd_name(family, p, a[0])});
    case SYS_connect:
        return fill(tr("connecting on {1}"), {fd_name(family, p, a[0])});
    case SYS_recvfrom:
    case SYS_recvmsg:
        return fill(tr("sleeping in recv on {1}"), {fd_name(family, p, a[0])});
    case SYS_flock:
        return fill(tr("waiting for a lock on {1}"), {fd_name(family, p, a[0])});
    default:
        break;
    }
    if (std::string waits = wait_words(p); !waits.empty())
        return waits;
    std::string text = p.syscall >= 0
                           ? fill(tr("sleeping in system call {1}"), {std::to_string(p.syscall)})
                           : std::string(tr("sleeping"));
    return p.wchan.empty() ? text : fill(tr("{1} ({2})"), {text, p.wchan});
}

// What changed last: "forked 7365", "became /usr/bin/ps", "closed fd 4
// (pipe A, write end)".
std::string change_words(Family& family, const Change& c)
{
    auto with_fd = [&](const char* text) {
        return fill(text, {std::to_string(c.fd.fd), family.names().of(c.fd) + end_of(c.fd)});
    };
    std::string pid = std::to_string(c.pid);
    switch (c.kind) {
    case Change::Kind::forked_by:
        return fill(tr("forked by {1}"), {pid});
    case Change::Kind::forked:
        return fill(tr("forked {1}"), {pid});
    case Change::Kind::adopted_by:
        return fill(tr("adopted by {1}"), {pid});
    case Change::Kind::became:
        return fill(tr("became {1}"), {c.program});
    case Change::Kind::closed:
        return with_fd(tr("closed fd {1} ({2})"));
    case Change::Kind::opened:
        return with_fd(tr("opened fd {1} ({2})"));
    case Change::Kind::ended:
        return tr("ended");
    case Change::Kind::collected:
        return tr("collected");
    case Change::Kind::none:
        break;
    }
    return "";
}

std::string program_of(const Member& m)
{
    const std::string& exe = m.info.exe;
    return exe.empty() ? m.info.comm : exe.substr(exe.rfind('/') + 1);
}

// Each pipe or FIFO, and who holds which end.
struct Holder {
    int pid;
    int fd;
    unsigned mode; // O_RDONLY, O_WRONLY, O_RDWR
};

// One pipe's or FIFO's line: who holds which end, and, for a pipe of the
// family's own, what follows from it (a FIFO's other side, or the shell's
// pipe's, may be outside the family).
std::string pipe_line(const std::string& name, bool own, const std::vector<Holder>& holders)
{
    auto list = [&](unsigned mode) {
        std::string text;
        for (const auto& h : holders)
            if (h.mode == mode || h.mode == O_RDWR)
                text += (text.empty() ? "" : ", ") +
                        fill(tr("{1} (fd {2})"), {std::to_string(h.pid), std::to_string(h.fd)});
        return text;
    };
    std::string writers = list(O_WRONLY);
    std::string readers = list(O_RDONLY);
    std::string none = tr("none of them");
    std::string text =
        "  " + fill(tr("{1}: write end held by {2}; read end by {3}"),
                    {name, writers.empty() ? none : writers, readers.empty() ? none : readers});
    if (!own)
        return text;
    if (writers.empty() && !readers.empty())
        text += tr(". No process of the family holds the write end: the reader will see end "
                   "of data");
    else if (readers.empty() && !writers.empty())
        text += tr(". No process of the family holds the read end: a write fails with EPIPE "
                   "(and SIGPIPE)");
    for (const auto& r : holders)
        if (r.mode == O_RDONLY && std::any_of(holders.begin(), holders.end(), [&](const Holder& w) {
                return w.pid == r.pid && w.mode != O_RDONLY;
            })) {
            text += fill(tr(". The reader {1} itself still holds a write end: its read will "
                            "never return 0"),
                         {std::to_string(r.pid)});
            break;
        }
    return text;
}

std::vector<Line> pipes(Family& family)
{
    struct Channel {
        std::string name;
        bool own = false; // a pipe the family made, lettered
        std::vector<Holder> holders;
    };
    std::map<std::string, Channel> by_target;
    std::vector<std::string> order;
    for (const auto& m : family.members()) {
        if (m.gone_at)
            continue;
        for (const auto& f : m.info.fds)
            if (f.target.starts_with("pipe:[") || f.fifo) {
                if (!by_target.count(f.target))
                    order.push_back(f.target);
                Channel& c = by_target[f.target];
                c.name = family.names().of(f);
                c.own = family.names().own_pipe(f);
                c.holders.push_back({m.info.pid, f.fd, f.flags & O_ACCMODE});
            }
    }
    std::vector<Line> lines;
    if (!order.empty())
        lines.push_back({.text = tr("Pipes and FIFOs"), .heading = true});
    // The family's own pipes first, in the order they were named; then
    // the rest.
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return by_target[a].own && !by_target[b].own;
    });
    for (const auto& target : order) {
        const Channel& c = by_target[target];
        lines.push_back({.text = pipe_line(c.name, c.own, c.holders)});
    }
    return lines;
}

} // namespace

std::string end_of(const FdEntry& fd)
{
    if (!fd.target.starts_with("pipe:[") && !fd.fifo)
        return "";
    switch (fd.flags & O_ACCMODE) {
    case O_RDONLY:
        return timeline::end_words(timeline::EndHeld::read);
    case O_WRONLY:
        return timeline::end_words(timeline::EndHeld::write);
    default:
        return timeline::end_words(timeline::EndHeld::both);
    }
}

std::string state_words(Family& family, const Member& m, double now)
{
    const ProcInfo& p = m.info;
    if (m.gone_at)
        return m.last_change.kind == Change::Kind::collected ? tr("ended, collected") : tr("ended");
    switch (p.state) {
    case 'Z': {
        std::string parent = std::to_string(p.ppid);
        if (!m.zombie_since)
            return fill(tr("a zombie, not yet collected by {1}"), {parent});
        return fill(tr("a zombie for {1}, not yet collected by {2}"),
                    {timeline::seconds_text(now - *m.zombie_since), parent});
    }
    case 'T':
    case 't':
        return tr("stopped");
    case 'R':
        return tr("running");
    default:
        return call_words(family, p);
    }
}

std::vector<Line> snapshot(Family& family, double now, const std::string& how, bool utf8)
{
    const char* branch = utf8 ? "\xe2\x94\x94\xe2\x94\x80 " : "`- ";
    std::vector<Line> lines;
    const Member* root = family.find(family.root());
    std::string head =
        fill(tr("family of {1}: {2}"),
             {timeline::process_name(root ? program_of(*root) : "", family.root()), how});
    lines.push_back({.text = head, .heading = true});
    for (const auto& m : family.members()) {
        std::string indent(size_t(std::max(0, m.depth)) * 3, ' ');
        std::string text = indent + (m.depth > 0 ? branch : "") +
                           timeline::process_name(program_of(m), m.info.pid) + ": " +
                           state_words(family, m, now);
        if (!m.in_tree)
            text += fill(tr("; adopted by {1} (its parent {2} ended)"),
                         {std::to_string(m.adopted_by), std::to_string(m.parent)});
        else if (m.depth > 0)
            text += fill(tr("; parent {1}"), {std::to_string(m.info.ppid)});
        lines.push_back({.text = text,
                         .gone = m.gone_at.has_value(),
                         .branch = m.depth > 0 ? int(indent.size()) : -1});
        std::string pad = indent + (m.depth > 0 ? "   " : "") + "   ";
        if (!m.gone_at && m.info.state != 'Z') {
            std::string fds;
            for (const auto& f : m.info.fds)
                fds += (fds.empty() ? "" : "; ") + std::to_string(f.fd) + " " +
                       family.names().of(f) + end_of(f);
            if (!m.info.fds_readable)
                fds = tr("(not readable here)");
            lines.push_back({.text = pad + fill(tr("fds: {1}"), {fds.empty() ? tr("none") : fds})});
        }
        if (m.last_change.kind != Change::Kind::none)
            lines.push_back(
                {.text = pad + fill(tr("last: {1}"), {change_words(family, m.last_change)}),
                 .gone = m.gone_at.has_value()});
    }
    auto more = pipes(family);
    if (!more.empty())
        lines.push_back({});
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

} // namespace family
