// Descriptors: pipes and FIFOs made, files opened, ends closed and copied,
// locks. Each process remembers which end of a pipe or FIFO each of its
// descriptors holds, so that a close can say which end it gave up.
#include <string>
#include <variant>

#include "model/calls/handlers.hpp"

namespace timeline::handlers::descriptors {
namespace {

End end_for(Access access)
{
    return access == Access::read ? End::read : access == Access::write ? End::write : End::unknown;
}

Target path_target(const std::string& path)
{
    return {!path.empty() && path.front() == '/' ? Target::Kind::path : Target::Kind::other, path};
}

} // namespace

void add_and_note(State& m, Process& p, Step s, PlumbingChange change)
{
    // Files are drawn too: their offsets are shared after a fork.
    const Channel* channel = s.channel ? &m.channels[*s.channel] : nullptr;
    bool plumbing = channel && (channel->carries_data() ||
                                (channel->kind == Channel::Kind::file && !channel->working_folder));
    int pid = p.pid;
    size_t at = m.steps.add(std::move(s));
    if (plumbing)
        m.note_plumbing(change, at, pid);
}

// Pipes are numbered in the order they were made: pipe A, B, C.
void pipe(State& m, Process& p, const Call& /*unused*/, const call::FdPair& a, Step s)
{
    auto c = m.channels.of(a.read.target);
    if (c) {
        m.channels.number_pipe(*c);
        m.channels[*c].read_fd = a.read.number;
        m.channels[*c].write_fd = a.write.number;
    }
    s.what = step::Pipe{a.read.number, a.write.number, a.cloexec};
    s.channel = c;
    m.processes.hold(p, a.read.number,
                     {.channel = c, .end = End::read, .access = Access::read, .flags = a.flags},
                     a.cloexec);
    m.processes.hold(p, a.write.number,
                     {.channel = c, .end = End::write, .access = Access::write, .flags = a.flags},
                     a.cloexec);
    int pid = p.pid;
    m.note_plumbing(PlumbingChange::pipe, m.steps.add(std::move(s)), pid);
}

void make_fifo(State& m, Process& /*unused*/, const Call& /*unused*/, const call::MakeFifo& a,
               Step s)
{
    s.what = step::MakeFifo{};
    s.channel = m.channels.fifo(a.path);
    if (s.channel)
        m.channels[*s.channel].created_here = true;
    m.steps.add(std::move(s));
}

namespace {

// How an open of a FIFO met the other side: what was open before it
// began tells, not how long it took (a busy machine makes any call slow).
step::Open::Met fifo_met(const State& m, const Call& c, const call::Open& a, size_t channel)
{
    using Met = step::Open::Met;
    constexpr double kBlocked = 0.001; // longer: it waited for a side outside the trace
    End other = a.access == Access::read ? End::write : End::read;
    bool nonblocking = a.flags.find("O_NONBLOCK") != std::string::npos;
    if (a.access == Access::read_write)
        return Met::both;
    if (m.processes.side_open_before(channel, other, c.began))
        return Met::there;
    if (nonblocking) // a write end without a reader fails (ENXIO)
        return a.access == Access::read ? Met::none_yet : Met::there;
    bool came = m.processes.side_open_before(channel, other, c.began + c.duration + 1);
    return came || c.duration >= kBlocked ? Met::waited : Met::there;
}

} // namespace

// An open of a FIFO waits for the other side: how long it took is kept.
void open(State& m, Process& p, const Call& c, const call::Open& a, Step s)
{
    bool named = a.result && !a.result->target.name.empty();
    if (hidden_path(a.path) || (named && hidden_path(a.result->target.name)))
        return;
    if (!c.finished) {
        s.what = step::OpenWaiting{a.access};
        s.channel = m.channels.of(path_target(a.resolved));
        m.steps.add(std::move(s));
        return;
    }
    if (!c.error.empty()) {
        s.what = step::OpenFailed{a.path};
        m.steps.add(std::move(s));
        return;
    }
    int fd = a.result ? a.result->number : int(c.value);
    s.what = step::Open{.fd = fd, .access = a.access, .waited = c.duration, .cloexec = a.cloexec};
    s.channel = m.channels.of(named ? a.result->target : path_target(a.path));
    // "." is the folder it runs in, whatever its name (often a scratch
    // folder's, "tmp.b5bHoDDYl7").
    if (a.path == "." && s.channel && m.channels[*s.channel].kind == Channel::Kind::file)
        m.channels[*s.channel].working_folder = true;
    // A file's offset starts at 0, or at its end for O_APPEND, which the
    // trace does not tell.
    bool file = s.channel && m.channels[*s.channel].kind == Channel::Kind::file;
    bool appends = a.flags.find("O_APPEND") != std::string::npos;
    // A path may show itself a FIFO only later (a lesson's writer alone in
    // its trace): how it met the other side is kept for every path.
    if (s.channel && (file || m.channels[*s.channel].kind == Channel::Kind::fifo))
        std::get<step::Open>(s.what).met = fifo_met(m, c, a, *s.channel);
    m.processes.hold(
        p, fd,
        Description{.channel = s.channel,
                    .end = s.channel ? end_for(a.access) : End::unknown,
                    .access = a.access,
                    .flags = a.flags,
                    .offset = file && !appends ? std::optional<long long>(0) : std::nullopt,
                    .since = c.began},
        a.cloexec);
    add_and_note(m, p, std::move(s), PlumbingChange::open);
}

// flock(3</tmp/x>, LOCK_EX|LOCK_NB): the reader keeps its words as written.
void lock(State& m, Process& p, const Call& c, Step s)
{
    const auto* written = std::get_if<call::Unknown>(&c.args);
    if (!c.fd || !written) {
        as_written(m, p, c, std::move(s));
        return;
    }
    const std::string& text = written->text;
    s.what = step::Lock{.fd = c.fd->number,
                        .release = text.find("LOCK_UN") != std::string::npos,
                        .exclusive = text.find("LOCK_SH") == std::string::npos,
                        .wait = text.find("LOCK_NB") == std::string::npos};
    m.steps.add(std::move(s));
}

void close(State& m, Process& p, const Call& c, const call::Close& /*unused*/, Step s)
{
    step::Close close;
    if (c.fd) {
        close.fd = c.fd->number;
        auto& fds = m.processes.table_of(p).fds;
        auto it = fds.find(close.fd);
        if (it != fds.end()) {
            close.end = it->second.end;
            if (c.error != "EBADF")
                m.processes.release(p, close.fd);
        } else if (s.channel) {
            // A child whose first steps came before its parent's fork
            // returned: the pipe's own numbers tell the end.
            const Channel& channel = m.channels[*s.channel];
            close.end = close.fd == channel.read_fd    ? End::read
                        : close.fd == channel.write_fd ? End::write
                                                       : End::unknown;
        }
        if (it == fds.end() && c.error.empty())
            m.processes.release(p, close.fd); // one it was given from outside
    }
    s.what = close;
    add_and_note(m, p, std::move(s), PlumbingChange::close);
}

void dup(State& m, Process& p, const Call& c, const call::Dup& a, Step s)
{
    int from = c.fd->number; // the reader decodes a dup only with its descriptor
    s.what = step::Dup{a.result.number, from, a.cloexec};
    const Held* source = c.error.empty() ? m.processes.entry(p, from, s.channel) : nullptr;
    if (source && a.result.number != from)
        m.processes.share(p, a.result.number, *source, a.cloexec);
    else if (!source)
        m.processes.release(p, a.result.number); // dup2 closed what it replaced
    add_and_note(m, p, std::move(s), PlumbingChange::dup);
}

// fcntl: close-on-exec set or cleared, status flags set (O_NONBLOCK); a
// question about the flags adds no step. F_DUPFD is a dup.
void fcntl(State& m, Process& p, const Call& c, Step s)
{
    if (const auto* copy = std::get_if<call::Dup>(&c.args)) {
        dup(m, p, c, *copy, std::move(s));
        return;
    }
    const auto* flags = std::get_if<call::Fcntl>(&c.args);
    if (!flags) {
        as_written(m, p, c, std::move(s));
        return;
    }
    const call::Fcntl& a = *flags;
    using Op = call::Fcntl::Op;
    if (a.op == Op::ask)
        return;
    int fd = c.fd->number; // the reader decodes an fcntl only with its descriptor
    Held* held = c.error.empty() ? m.processes.entry(p, fd, s.channel) : nullptr;
    if (held && (a.op == Op::close_on_exec || a.op == Op::keep_on_exec))
        held->cloexec = a.op == Op::close_on_exec;
    // The status flags are the description's: every descriptor that
    // shares it (a forked child's too) sees them.
    if (held && a.op == Op::status_flags)
        if (Description* d = m.processes.description(held->description))
            d->flags = a.status;
    if (a.op == Op::pipe_size && s.channel)
        m.flows.set_capacity(*s.channel, a.size);
    s.what = step::Fcntl{.fd = fd,
                         .op = a.op,
                         .flags = a.flags,
                         .end = held ? held->end : End::unknown,
                         .size = a.size};
    m.steps.add(std::move(s));
}

void track_quietly(State& m, Process& p, const Call& c)
{
    if (!c.finished || !c.error.empty())
        return;
    if (std::holds_alternative<call::Close>(c.args) && c.fd) {
        m.processes.release(p, c.fd->number);
    } else if (const auto* dup = std::get_if<call::Dup>(&c.args); dup && c.fd) {
        auto& fds = m.processes.table_of(p).fds;
        auto from = fds.find(c.fd->number);
        if (from == fds.end())
            m.processes.release(p, dup->result.number);
        else if (dup->result.number != c.fd->number)
            m.processes.share(p, dup->result.number, from->second, dup->cloexec);
    } else if (const auto* pair = std::get_if<call::FdPair>(&c.args)) {
        auto channel = m.channels.of(pair->read.target);
        m.processes.hold(p, pair->read.number, channel, End::read, pair->cloexec);
        m.processes.hold(p, pair->write.number, channel, End::write, pair->cloexec);
    } else if (const auto* open = std::get_if<call::Open>(&c.args); open && open->result) {
        m.processes.release(p, open->result->number); // now something no step names
    } else if (const auto* made = std::get_if<call::NewFd>(&c.args)) {
        m.processes.release(p, made->result.number);
    } else if (const auto* flags = std::get_if<call::Fcntl>(&c.args); flags && c.fd) {
        auto& fds = m.processes.table_of(p).fds;
        using Op = call::Fcntl::Op;
        if (auto held = fds.find(c.fd->number);
            held != fds.end() && (flags->op == Op::close_on_exec || flags->op == Op::keep_on_exec))
            held->second.cloexec = flags->op == Op::close_on_exec;
    } else if (const auto* act = std::get_if<call::SignalAction>(&c.args)) {
        // A system program's own handlers (ps catches SIGPIPE, to end
        // quietly): what a signal then does to it is told.
        using D = call::SignalAction::Disposition;
        auto& dispositions = m.processes.table_of(p).dispositions;
        if (act->disposition == D::restore_default)
            dispositions.erase(act->signal);
        else if (act->disposition != D::asks)
            dispositions[act->signal] = act->disposition;
    }
}

// It adds no step: it only tells a FIFO from a file.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void stat(State& m, Process& /*unused*/, const Call& c, const call::Stat& a, Step /*unused*/)
{
    if (a.fifo && c.fd && c.fd->target.kind == Target::Kind::path)
        m.channels.fifo(c.fd->target.name);
}

} // namespace timeline::handlers::descriptors
