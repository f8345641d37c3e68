// Data: bytes read and written, folded when the same call repeats, and
// followed from the write that sent them to the read that took them; a
// writer asking how much of its phrase is still unread.
#include <algorithm>

#include "model/calls/handlers.hpp"

namespace timeline::handlers::data {

void transfer(State& m, Process& p, const Call& c, const call::Transfer& a, Step s)
{
    int fd = c.fd->number; // the reader decodes a transfer only with its descriptor
    if (!c.finished) {
        s.what = step::TransferWaiting{a.is_read, fd};
        m.steps.add(std::move(s));
        return;
    }
    if (a.is_read && c.value == 0) {
        s.what = step::EndOfData{fd};
        m.steps.fold_or_add(std::move(s));
        return;
    }
    s.what = step::Transfer{.is_read = a.is_read,
                            .fd = fd,
                            .bytes = c.value,
                            .total = c.value,
                            .data = a.data.substr(0, size_t(std::max(0LL, c.value))),
                            .waited = a.is_read ? c.duration : 0};
    size_t at = m.steps.fold_or_add(std::move(s));
    if (auto channel = m.steps.live(at)->channel)
        m.flows.moved(at, p.pid, *channel, c.value, a.is_read);
}

void ioctl(State& m, Process& p, const Call& c, Step s)
{
    if (std::holds_alternative<call::TerminalQuery>(c.args))
        return; // stdio asking whether it writes to a terminal
    const auto* unread = std::get_if<call::Unread>(&c.args);
    if (!unread) {
        as_written(m, p, c, std::move(s));
        return;
    }
    // The writer asks how much of its phrase is still unread, again and
    // again: one step.
    int fd = c.fd ? c.fd->number : -1;
    if (Step* last = m.steps.last_of(p)) {
        if (auto* wait = last->as<step::UnreadWait>(); wait && wait->fd == fd) {
            ++wait->asks;
            wait->last_answer = unread->answer;
            return;
        }
    }
    s.what = step::UnreadWait{.fd = fd, .last_answer = unread->answer};
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::data
