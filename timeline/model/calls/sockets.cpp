// Sockets, socket pairs, eventfds, signalfds: a new descriptor on a
// channel of its own; a connection's two ends share one, so that the bytes
// sent at one end are followed to the read at the other.
#include <algorithm>
#include <deque>

#include "model/calls/handlers.hpp"

namespace timeline::handlers::sockets {

// Two ends, each with a name of its own, both reading and writing; one
// channel, numbered in the order the run made them: socket pair A, B.
void socketpair(State& m, Process& p, const Call& /*unused*/, const call::FdPair& a, Step s)
{
    auto c = m.channels.of(a.read.target);
    if (c) {
        m.channels.number_socket_pair(*c);
        m.channels.also_named(a.write.target.name, *c);
    }
    for (int fd : {a.read.number, a.write.number})
        m.processes.hold(p, fd, {.channel = c, .access = Access::read_write, .flags = a.flags},
                         a.cloexec);
    s.what = step::SocketPair{a.read.number, a.write.number};
    s.channel = c;
    int pid = p.pid;
    m.note_plumbing(PlumbingChange::socket_pair, m.steps.add(std::move(s)), pid);
}

// A connection accepted joins the oldest client waiting on the listening
// socket's address, when strace names the accepted end alone.
void new_fd(State& m, Process& p, const Call& c, const call::NewFd& a, Step s)
{
    std::deque<size_t>* waiting =
        a.accepted && s.channel ? m.channels.waiting_on(*s.channel) : nullptr;
    s.channel = m.channels.of(a.result.target, waiting && !waiting->empty()
                                                   ? std::optional(waiting->front())
                                                   : std::nullopt);
    if (waiting && s.channel)
        waiting->erase(std::remove(waiting->begin(), waiting->end(), *s.channel), waiting->end());
    m.processes.hold(p, a.result.number,
                     {.channel = s.channel, .access = Access::read_write, .flags = a.flags},
                     a.cloexec);
    if (a.accepted)
        s.what = step::Accept{.listening = c.fd->number, .fd = a.result.number};
    else
        s.what = step::NewFd{a.result.number};
    bool socket = s.channel && m.channels[*s.channel].kind == Channel::Kind::socket;
    descriptors::add_and_note(m, p, std::move(s),
                              a.accepted ? PlumbingChange::accept
                              : socket   ? PlumbingChange::socket
                                         : PlumbingChange::new_fd);
}

void socket_address(State& m, Process& /*unused*/, const Call& c, const call::SocketAddress& a,
                    Step s)
{
    if (s.channel && c.error.empty() && !a.address.empty()) {
        if (a.verb == call::SocketAddress::Verb::bind)
            m.channels.bound(*s.channel, a.address);
        else if (a.verb == call::SocketAddress::Verb::connect)
            m.channels.connecting(a.address, *s.channel);
    }
    s.what = step::SocketAddress{.fd = c.fd->number, .verb = a.verb, .address = a.address};
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::sockets
