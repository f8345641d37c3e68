// Descriptors: pipes and FIFOs made, files opened, ends closed and copied.
// Each process remembers which end of a pipe or FIFO each of its
// descriptors holds, so that a close can say which end it gave up.
#include <algorithm>
#include <deque>

#include "calls.hpp"

namespace timeline {
namespace {

std::string letter_name(int n)
{
    std::string name;
    for (++n; n > 0; n = (n - 1) / 26)
        name.insert(name.begin(), char('A' + (n - 1) % 26));
    return name;
}

End end_for(Access access)
{
    return access == Access::read ? End::read : access == Access::write ? End::write : End::unknown;
}

Target path_target(const std::string& path)
{
    return {!path.empty() && path.front() == '/' ? Target::Kind::path : Target::Kind::other, path};
}

} // namespace

// Adds the step; when it changed a pipe's, a FIFO's or a socket's plumbing,
// the tables are recorded for a figure.
void Calls::add_and_note(Run& run, Process& p, Step s, PlumbingChange change)
{
    const Channel* channel = run.channel_of(s);
    bool plumbing = channel && channel->carries_data();
    int pid = p.pid;
    size_t at = run.add_step(std::move(s));
    if (plumbing)
        run.note_plumbing(change, at, pid);
}

// Pipes are named A, B, C in the order they were made.
void Calls::pipe(Run& run, Process& p, const Call& /*unused*/, const call::FdPair& a, Step s)
{
    auto c = run.channel_for(a.read.target);
    if (c) {
        Channel& pipe = run.channels_[*c];
        if (!pipe.created_here) {
            pipe.created_here = true;
            pipe.name = "pipe " + letter_name(run.pipes_named_++);
        }
        pipe.read_fd = a.read.number;
        pipe.write_fd = a.write.number;
    }
    s.what = step::Pipe{a.read.number, a.write.number};
    s.channel = c;
    run.hold(p, a.read.number, c, End::read);
    run.hold(p, a.write.number, c, End::write);
    int pid = p.pid;
    run.note_plumbing(PlumbingChange::pipe, run.add_step(std::move(s)), pid);
}

// A socket pair: two ends, each with a name of its own, both reading and
// writing; one channel, named A, B, C in the order they were made, so that
// bytes sent at one end are followed to the read at the other.
void Calls::socketpair(Run& run, Process& p, const Call& /*unused*/, const call::FdPair& a, Step s)
{
    auto c = run.channel_for(a.read.target);
    if (c) {
        Channel& pair = run.channels_[*c];
        pair.kind = Channel::Kind::socket;
        pair.created_here = true;
        pair.name = "socket pair " + letter_name(run.socket_pairs_named_++);
        run.channel_by_target_[a.write.target.name] = *c;
    }
    run.hold(p, a.read.number, c, End::unknown);
    run.hold(p, a.write.number, c, End::unknown);
    s.what = step::SocketPair{a.read.number, a.write.number};
    s.channel = c;
    int pid = p.pid;
    run.note_plumbing(PlumbingChange::pipe, run.add_step(std::move(s)), pid);
}

void Calls::make_fifo(Run& run, Process& /*unused*/, const Call& /*unused*/,
                      const call::MakeFifo& a, Step s)
{
    s.what = step::MakeFifo{};
    s.channel = run.fifo_channel(a.path);
    if (s.channel)
        run.channels_[*s.channel].created_here = true;
    run.add_step(std::move(s));
}

// An open of a FIFO waits for the other side: how long it took is kept.
void Calls::open(Run& run, Process& p, const Call& c, const call::Open& a, Step s)
{
    bool named = a.result && !a.result->target.name.empty();
    if (hidden_path(a.path) || (named && hidden_path(a.result->target.name)))
        return;
    if (!c.finished) {
        s.what = step::OpenWaiting{a.access};
        s.channel = run.channel_for(path_target(a.resolved));
        run.add_step(std::move(s));
        return;
    }
    if (!c.error.empty()) {
        s.what = step::OpenFailed{a.path};
        run.add_step(std::move(s));
        return;
    }
    int fd = a.result ? a.result->number : int(c.value);
    s.what = step::Open{.fd = fd, .access = a.access, .waited = c.duration};
    s.channel = run.channel_for(named ? a.result->target : path_target(a.path));
    // "." is the folder it runs in, whatever its name (often a scratch
    // folder's, "tmp.b5bHoDDYl7"): it is named so.
    if (a.path == "." && s.channel && run.channels_[*s.channel].kind == Channel::Kind::file)
        run.channels_[*s.channel].name = "its working folder";
    run.hold(p, fd, s.channel, s.channel ? end_for(a.access) : End::unknown);
    Calls::add_and_note(run, p, std::move(s), PlumbingChange::open);
}

// flock(3</tmp/x>, LOCK_EX|LOCK_NB): the reader keeps its words as written.
void Calls::lock(Run& run, Process& /*unused*/, const Call& c, Step s)
{
    const auto* written = std::get_if<call::Unknown>(&c.args);
    if (!c.fd || !written) {
        Process& p = run.known(s.pid);
        as_written(run, p, c, std::move(s));
        return;
    }
    const std::string& text = written->text;
    s.what = step::Lock{.fd = c.fd->number,
                        .release = text.find("LOCK_UN") != std::string::npos,
                        .exclusive = text.find("LOCK_SH") == std::string::npos,
                        .wait = text.find("LOCK_NB") == std::string::npos};
    run.add_step(std::move(s));
}

void Calls::close(Run& run, Process& p, const Call& c, const call::Close& /*unused*/, Step s)
{
    step::Close close;
    if (c.fd) {
        close.fd = c.fd->number;
        auto& fds = run.files_of(p).fds;
        auto it = fds.find(close.fd);
        if (it != fds.end()) {
            close.end = it->second.end;
            if (c.error != "EBADF")
                run.release(p, close.fd);
        } else if (const Channel* channel = run.channel_of(s)) {
            // A child whose first steps came before its parent's fork
            // returned: the pipe's own numbers tell the end.
            close.end = close.fd == channel->read_fd    ? End::read
                        : close.fd == channel->write_fd ? End::write
                                                        : End::unknown;
        }
    }
    s.what = close;
    Calls::add_and_note(run, p, std::move(s), PlumbingChange::close);
}

void Calls::dup(Run& run, Process& p, const Call& c, const call::Dup& a, Step s)
{
    int from = c.fd->number; // the reader decodes a dup only with its descriptor
    s.what = step::Dup{a.result.number, from};
    auto& fds = run.files_of(p).fds;
    auto it = fds.find(from);
    if (it != fds.end() && a.result.number != from)
        run.hold(p, a.result.number, it->second.channel, it->second.end);
    else if (it == fds.end())
        run.release(p, a.result.number); // dup2 closed what it replaced
    Calls::add_and_note(run, p, std::move(s), PlumbingChange::dup);
}

// A socket, an eventfd, a signalfd, or a connection accepted: a new
// descriptor on a channel of its own (a connection's two ends share one).
void Calls::new_fd(Run& run, Process& p, const Call& c, const call::NewFd& a, Step s)
{
    std::deque<size_t>* waiting = nullptr;
    if (auto bound = s.channel ? run.bound_.find(*s.channel) : run.bound_.end();
        a.accepted && bound != run.bound_.end())
        waiting = &run.connecting_[bound->second];
    s.channel = run.channel_for(a.result.target, waiting && !waiting->empty()
                                                     ? std::optional(waiting->front())
                                                     : std::nullopt);
    if (waiting && s.channel)
        waiting->erase(std::remove(waiting->begin(), waiting->end(), *s.channel), waiting->end());
    run.hold(p, a.result.number, s.channel, End::unknown);
    if (a.accepted)
        s.what = step::Accept{.listening = c.fd->number, .fd = a.result.number};
    else
        s.what = step::NewFd{a.result.number};
    Calls::add_and_note(run, p, std::move(s), PlumbingChange::open);
}

void Calls::socket_address(Run& run, Process& /*unused*/, const Call& c,
                           const call::SocketAddress& a, Step s)
{
    if (s.channel && c.error.empty() && !a.address.empty()) {
        if (a.verb == call::SocketAddress::Verb::bind)
            run.bound_[*s.channel] = a.address;
        else if (a.verb == call::SocketAddress::Verb::connect)
            run.connecting_[a.address].push_back(*s.channel);
    }
    s.what = step::SocketAddress{.fd = c.fd->number, .verb = a.verb, .address = a.address};
    run.add_step(std::move(s));
}

// It adds no step: it only tells a FIFO from a file.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void Calls::stat(Run& run, Process& /*unused*/, const Call& c, const call::Stat& a, Step /*unused*/)
{
    if (a.fifo && c.fd && c.fd->target.kind == Target::Kind::path)
        run.fifo_channel(c.fd->target.name);
}

} // namespace timeline
