// Data: bytes read and written, folded when the same call repeats, and
// followed from the write that sent them to the read that took them; a
// writer asking how much of its phrase is still unread.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/calls/handlers.hpp"

namespace timeline::handlers::data {
namespace {

// A write of more than is left of what the pipe or FIFO holds: it ends
// only as the reader makes room. (A pipe whose reader is outside the trace
// is emptied out of sight; what a socket holds is not counted; a
// non-blocking write moves what fits and returns.)
bool fills_up(State& m, Process& p, int fd, size_t channel, long long bytes)
{
    const Channel& c = m.channels[channel];
    if ((c.kind != Channel::Kind::pipe && c.kind != Channel::Kind::fifo) || c.received_outside() ||
        bytes <= 0)
        return false;
    const Held* held = m.processes.entry(p, fd, channel);
    const Description* d = held ? m.processes.description(held->description) : nullptr;
    if (!d || d->flags.find("O_NONBLOCK") != std::string::npos)
        return false;
    auto unread = m.flows.unread(channel);
    return unread && *unread + bytes > m.flows.capacity(channel);
}

// A write told as it started that failed after all (no reader was left),
// or moved fewer bytes than it asked: what its start told is taken back.
void failed_after_all(State& m, Process& p, const Call& c, int fd, Step s)
{
    std::optional<size_t> told = p.fold;
    Step* last = told ? m.steps.live(*told) : nullptr;
    auto* write = last ? last->as<step::Transfer>() : nullptr;
    if (write && !write->is_read && write->fd == fd && c.error.empty() && !c.no_return) {
        // It moved fewer bytes than it asked (a non-blocking write into a
        // pipe with less room): those that did not go are taken back.
        long long lost = std::max(0LL, write->bytes - c.value);
        m.flows.unwrite(*told, lost);
        write->total -= lost;
        if (write->full) // a signal cut short its wait for room
            write->waited += c.duration;
        if (write->count == 1) {
            write->bytes = c.value;
            write->data.resize(std::min(write->data.size(), size_t(c.value)));
        }
        last->ended = std::max(last->ended, s.ended);
        m.steps.grew(*last, s);
        p.fold.reset();
        return;
    }
    if (write && !write->is_read && write->fd == fd) {
        m.flows.unwrite(*told, write->bytes);
        if (write->count == 1) {
            if (c.no_return)
                last->what = step::NeverReturned{.call = c.name, .fd = fd};
            else
                last->what =
                    step::TransferFailed{.is_read = false, .fd = fd, .asked = write->bytes};
            last->error = c.error;
            last->ended = std::max(last->ended, s.ended);
            m.steps.grew(*last, s);
            p.fold.reset();
            return;
        }
        --write->count;
        write->total -= write->bytes;
        s.what = step::TransferFailed{.is_read = false, .fd = fd, .asked = write->bytes};
    } else {
        s.what = step::TransferFailed{.is_read = false, .fd = fd};
    }
    if (c.no_return)
        s.what = step::NeverReturned{.call = c.name, .fd = fd};
    m.steps.add(std::move(s));
}

// A read or write moves its description's offset, shared with every
// descriptor that points at it; pread and pwrite leave it. A write through
// O_APPEND lands at the file's end first, wherever the offset was: where
// that is, the trace does not tell.
void move_offset(State& m, Process& p, const Call& c, int fd)
{
    if (c.value <= 0 || c.name == "pread64" || c.name == "pwrite64")
        return;
    auto& fds = m.processes.table_of(p).fds;
    auto held = fds.find(fd);
    Description* d =
        held != fds.end() ? m.processes.description(held->second.description) : nullptr;
    const auto* transfer = std::get_if<call::Transfer>(&c.args);
    if (d && transfer && !transfer->is_read && d->flags.find("O_APPEND") != std::string::npos)
        d->offset.reset();
    else if (d && d->offset)
        *d->offset += c.value;
}

// Where a passed descriptor waits: in the receiving end's queue, named by
// that end's inode ("UNIX-STREAM:[7->8]" is end 7, its peer 8): a message
// sent on 7 waits at 8. Where strace does not tell the ends, in the
// socket's channel.
std::optional<size_t> queue_of(const Target& socket, bool is_read, std::optional<size_t> channel)
{
    std::string_view name = socket.name;
    size_t arrow = name.find("->");
    size_t open = name.rfind('[', arrow);
    size_t close = name.find(']', arrow);
    if (arrow == std::string_view::npos || open == std::string_view::npos ||
        close == std::string_view::npos)
        return channel;
    std::string_view end = is_read ? name.substr(open + 1, arrow - open - 1)
                                   : name.substr(arrow + 2, close - arrow - 2);
    size_t inode = 0;
    for (char digit : end) {
        if (digit < '0' || digit > '9')
            return channel;
        inode = inode * 10 + size_t(digit - '0');
    }
    return inode | (size_t(1) << 62); // apart from the channels' numbers
}

// A socket pair's end, as the trace names it ("UNIX-STREAM:[4480->4481]":
// 4480), apart from processes' ids; 0 when not told.
long long side_of(const Target& socket)
{
    std::string_view name = socket.name;
    size_t arrow = name.find("->");
    size_t open = name.rfind('[', arrow);
    if (arrow == std::string_view::npos || open == std::string_view::npos)
        return 0;
    long long inode = 0;
    for (char digit : name.substr(open + 1, arrow - open - 1)) {
        if (digit < '0' || digit > '9')
            return 0;
        inode = inode * 10 + (digit - '0');
    }
    return inode | (1LL << 48);
}

// SCM_RIGHTS: a sender's descriptors go into the socket as references to
// their descriptions; a receiver's new descriptors share them. Each with
// what it is open on. `via`: the queue they wait in.
std::vector<std::pair<int, std::optional<size_t>>>
pass_descriptors(State& m, Process& p, const call::Transfer& a, std::optional<size_t> via)
{
    std::vector<std::pair<int, std::optional<size_t>>> passed;
    for (const Fd& fd : a.passed) {
        auto& fds = m.processes.table_of(p).fds;
        if (!a.is_read) {
            if (const Held* held = m.processes.entry(p, fd.number, m.channels.of(fd.target));
                via && held)
                m.processes.pass(*via, *held);
        } else if (!via || !m.processes.take(p, fd.number, *via, a.passed_cloexec)) {
            // Sent from outside the trace: how it was opened is not known.
            m.processes.hold(p, fd.number, Description{.channel = m.channels.of(fd.target)},
                             a.passed_cloexec);
        }
        auto held = fds.find(fd.number);
        passed.emplace_back(fd.number,
                            held != fds.end() ? held->second.channel : std::optional<size_t>());
    }
    return passed;
}

} // namespace

// lseek: the description's offset, where the call put it.
void seek(State& m, Process& p, const Call& c, Step s)
{
    // The C library's exit gives back what stdio read ahead on standard
    // input with an lseek, which a pipe or a terminal refuses: no step.
    if (c.error == "ESPIPE")
        return;
    if (!c.fd || !c.finished || !c.error.empty() || c.value < 0) {
        as_written(m, p, c, std::move(s));
        return;
    }
    auto& fds = m.processes.table_of(p).fds;
    auto held = fds.find(c.fd->number);
    if (held != fds.end())
        if (Description* d = m.processes.description(held->second.description))
            d->offset = c.value;
    const auto* n = std::get_if<call::Numbers>(&c.args);
    bool asks = n && n->args.size() == 3 && n->args[1] == "0" && n->args[2] == "SEEK_CUR";
    s.what = step::Seek{.fd = c.fd->number, .offset = c.value, .asks = asks};
    m.steps.add(std::move(s));
}

void transfer(State& m, Process& p, const Call& c, const call::Transfer& a, Step s)
{
    int fd = c.fd->number; // the reader decodes a transfer only with its descriptor
    if (c.corrects_start) {
        failed_after_all(m, p, c, fd, std::move(s));
        return;
    }
    if (!c.finished) {
        s.what = step::TransferWaiting{a.is_read, fd};
        m.steps.add(std::move(s));
        return;
    }
    if (!c.error.empty()) { // failed, or a signal came first
        s.what = step::TransferFailed{.is_read = a.is_read, .fd = fd, .asked = a.asked};
        m.steps.add(std::move(s));
        return;
    }
    // A read of what a poll found ready does not wait: its time is strace's.
    auto ready = std::find(p.ready.begin(), p.ready.end(), fd);
    bool was_ready = a.is_read && ready != p.ready.end();
    if (was_ready)
        p.ready.erase(ready);
    if (a.is_read && c.value == 0) {
        s.what = step::EndOfData{.fd = fd, .waited = was_ready ? 0 : c.duration};
        m.steps.fold_or_add(std::move(s));
        return;
    }
    move_offset(m, p, c, fd);
    // Its bytes were there before it began: it did not wait for them.
    std::optional<double> written =
        a.is_read && s.channel
            ? m.flows.oldest_unread_began(*s.channel, p.pid, side_of(c.fd->target))
            : std::nullopt;
    bool before = was_ready || (written && *written <= s.began);
    bool full = !a.is_read && s.channel && fills_up(m, p, fd, *s.channel, c.value);
    auto via = queue_of(c.fd->target, a.is_read, s.channel);
    auto passed = pass_descriptors(m, p, a, via);
    s.what = step::Transfer{.is_read = a.is_read,
                            .fd = fd,
                            .bytes = c.value,
                            .total = c.value,
                            .data = a.data.substr(0, size_t(std::max(0LL, c.value))),
                            .waited = (a.is_read && !was_ready) || full ? c.duration : 0,
                            .ready = before,
                            .full = full,
                            .call = c.name,
                            .passed = passed};
    size_t at = m.steps.fold_or_add(std::move(s));
    if (a.is_read && !passed.empty())
        m.note_plumbing(PlumbingChange::received, at, p.pid);
    if (auto channel = m.steps.live(at)->channel) {
        int reached =
            m.flows.moved(at, p.pid, *channel, c.value, a.is_read, a.data, side_of(c.fd->target));
        if (a.is_read && passed.empty() && reached > 0 && via) {
            m.processes.drop_passed(*via, reached);
            m.steps.live(at)->as<step::Transfer>()->dropped += reached;
        }
        if (full && c.told_at_start)
            m.flows.filling(at, true);
    }
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
            m.steps.grew(*last, s);
            return;
        }
    }
    s.what = step::UnreadWait{.fd = fd, .last_answer = unread->answer};
    m.steps.add(std::move(s));
}

// A wait on several descriptors: each named by its channel, and those
// found ready.
void poll(State& m, Process& p, const Call& c, const call::Poll& a, Step s)
{
    p.ready.clear();
    for (const auto& w : a.fds)
        if (w.ready)
            p.ready.push_back(w.fd.number);
    step::Poll poll{.call = c.name == "ppoll"         ? "poll"
                            : c.name == "pselect6"    ? "select"
                            : c.name == "epoll_pwait" ? "epoll_wait"
                                                      : c.name,
                    .ready = c.finished && c.error.empty() ? a.ready : 0,
                    .waited = c.duration,
                    .finished = c.finished};
    for (const auto& w : a.fds)
        poll.fds.push_back(
            {.fd = w.fd.number, .channel = m.channels.of(w.fd.target), .ready = w.ready});
    std::vector<size_t> named;
    for (const auto& w : poll.fds)
        if (w.channel)
            named.push_back(*w.channel);
    s.what = std::move(poll);
    size_t at = m.steps.add(std::move(s));
    // The channels it names are kept while the step may still be told.
    for (size_t channel : named)
        m.channels.mentioned(channel, at);
}

// epoll_ctl: what an epoll descriptor watches.
void watch(State& m, Process& /*unused*/, const Call& c, const call::Watch& a, Step s)
{
    auto watched = m.channels.of(a.fd.target);
    s.what =
        step::Watch{.op = a.op, .epoll_fd = c.fd->number, .fd = a.fd.number, .watched = watched};
    size_t at = m.steps.add(std::move(s));
    if (watched)
        m.channels.mentioned(*watched, at);
}

namespace {

// A call's arguments as strace wrote them, one by one: "NULL", "4096", ...
std::vector<std::string_view> arguments_of(std::string_view text)
{
    std::vector<std::string_view> args;
    size_t open = text.find('(');
    size_t close = text.rfind(") ");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return args;
    text = text.substr(open + 1, close - open - 1);
    while (!text.empty()) {
        size_t comma = std::min(text.find(", "), text.size());
        args.push_back(text.substr(0, comma));
        text.remove_prefix(std::min(comma + 2, text.size()));
    }
    return args;
}

long long number_of(std::string_view text)
{
    return std::strtoll(std::string(text).c_str(), nullptr, 0);
}

} // namespace

// mmap(addr, length, prot, flags, fd, offset); munmap(addr, length). Only
// a shared mapping is the program's own lesson: a child forked after it
// shares those bytes, where a private mapping (the loader's, malloc's)
// becomes a copy.
void map(State& m, Process& p, const Call& c, Step s)
{
    const auto* written = std::get_if<call::Unknown>(&c.args);
    if (!written || !c.finished || !c.error.empty())
        return;
    std::vector<std::string_view> args = arguments_of(written->text);
    if (c.name == "munmap") {
        auto mapped = args.empty() ? p.shared_maps.end() : p.shared_maps.find(number_of(args[0]));
        if (mapped == p.shared_maps.end())
            return;
        s.what = step::Map{.bytes = mapped->second, .address = mapped->first, .unmaps = true};
        p.shared_maps.erase(mapped);
        m.steps.add(std::move(s));
        return;
    }
    constexpr size_t kArguments = 6;
    if (args.size() != kArguments || args[3].find("MAP_SHARED") == std::string_view::npos)
        return;
    bool anonymous = args[3].find("MAP_ANONYMOUS") != std::string_view::npos;
    step::Map map{.bytes = number_of(args[1]),
                  .address = c.value,
                  .fd = anonymous ? -1 : int(number_of(args[4]))};
    p.shared_maps[map.address] = map.bytes;
    s.what = map;
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::data
