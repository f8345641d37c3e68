// Descriptors and the data through them in words: pipes, FIFOs, files,
// sockets, copies, reads and writes, waits on several descriptors.
#include <algorithm>
#include <string>
#include <vector>

#include "views/describe.hpp"

namespace timeline::words {
namespace {

const char* other_side(Access access)
{
    return access == Access::read ? "a writer" : "a reader";
}

} // namespace

std::string Describe::operator()(const step::Pipe& x) const
{
    return "creates " + name() + ": fd " + std::to_string(x.read_fd) + " reads, fd " +
           std::to_string(x.write_fd) + " writes" + (x.cloexec ? ", both close-on-exec" : "");
}

std::string Describe::operator()(const step::SocketPair& x) const
{
    return "creates " + name() + ": fds " + std::to_string(x.fd) + " and " +
           std::to_string(x.other_fd) + ", each end reads and writes";
}

std::string Describe::operator()(const step::MakeFifo& /*unused*/) const
{
    return s.error == "EEXIST" ? name() + " is there already: reused"
           : s.error.empty()   ? "creates " + name()
                               : name() + ": mkfifo fails: " + error_text(s.error);
}

std::string Describe::operator()(const step::Open& x) const
{
    std::string mode = x.access == Access::read    ? "reading"
                       : x.access == Access::write ? "writing"
                                                   : "read/write";
    std::string text = "opens " + name() + " for " + mode + " as fd " + std::to_string(x.fd) +
                       (x.cloexec ? ", close-on-exec" : "");
    switch (channel && channel->kind == Channel::Kind::fifo ? x.met : step::Open::Met::not_asked) {
    case step::Open::Met::not_asked:
        break;
    case step::Open::Met::there:
        text += std::string(" (") + other_side(x.access) + " was there already)";
        break;
    case step::Open::Met::waited:
        text += ", after waiting " + seconds_text(x.waited) + " for " + other_side(x.access);
        break;
    case step::Open::Met::none_yet:
        text += " (no writer yet; O_NONBLOCK: it does not wait for one)";
        break;
    case step::Open::Met::both:
        text += " (both ends at once: it waits for no one)";
        break;
    }
    return text;
}

std::string Describe::operator()(const step::OpenWaiting& x) const
{
    return "waits in open of " + name() + " for " + other_side(x.access) +
           " (still waiting at the end)";
}

std::string Describe::operator()(const step::OpenFailed& x) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return "waits to open " + x.path;
    return "open " + x.path + " fails: " + error_text(s.error);
}

std::string Describe::operator()(const step::Close& x) const
{
    return "closes " + where(x.fd, x.end);
}

std::string Describe::operator()(const step::Fcntl& x) const
{
    using Op = call::Fcntl::Op;
    switch (x.op) {
    case Op::close_on_exec:
        return "marks " + where(x.fd, x.end) + " close-on-exec: a new program will not get it";
    case Op::keep_on_exec:
        return "keeps " + where(x.fd, x.end) + " open across exec";
    case Op::status_flags:
        if (x.flags.find("O_NONBLOCK") != std::string::npos)
            return "makes " + where(x.fd, x.end) + " non-blocking (" + x.flags +
                   "): a read or write that would wait fails with EAGAIN";
        return "sets the flags of " + where(x.fd, x.end) + " to " + x.flags;
    case Op::pipe_size:
        return "makes " + where(x.fd, x.end) + " hold up to " + std::to_string(x.size) +
               " bytes (F_SETPIPE_SZ): a write that finds it full waits";
    case Op::ask:
        break;
    }
    return "asks the flags of " + where(x.fd, x.end);
}

std::string Describe::operator()(const step::Seek& x) const
{
    if (x.asks)
        return "asks where the offset of " + where(x.fd) + " is: byte " + std::to_string(x.offset);
    return "moves the offset of " + where(x.fd) + " to byte " + std::to_string(x.offset);
}

std::string Describe::operator()(const step::Dup& x) const
{
    return "fd " + std::to_string(x.fd) + " now points where fd " + std::to_string(x.from) +
           " does" + (channel ? " (" + name() + ")" : "") + (x.cloexec ? ", close-on-exec" : "");
}

// "reads 1 byte, 11 times, from fd 4 (FIFOVEK): "que pasa21\n""
std::string Describe::operator()(const step::NewFd& x) const
{
    return "creates " + (name().empty() ? std::string("a descriptor") : name()) + " as fd " +
           std::to_string(x.fd);
}

std::string Describe::operator()(const step::Accept& x) const
{
    return "accepts a connection on fd " + std::to_string(x.listening) + ": " + where(x.fd);
}

std::string Describe::operator()(const step::SocketAddress& x) const
{
    using Verb = call::SocketAddress::Verb;
    if (x.verb == Verb::listen)
        return "listens on " + where(x.fd) + " for connections";
    std::string to = x.address.empty() ? "" : " to " + x.address;
    return (x.verb == Verb::bind ? "binds " : "connects ") + where(x.fd) + to;
}

std::string Describe::operator()(const step::Transfer& x) const
{
    std::string text;
    append(text, x);
    return text;
}

// Appended in place: a long trace has a million of these.
void Describe::append(std::string& text, const step::Transfer& x) const
{
    text += x.is_read ? "reads " : "writes ";
    text += std::to_string(x.bytes);
    text += x.bytes == 1 ? " byte" : " bytes";
    if (x.count > 1) {
        text += ", ";
        text += std::to_string(x.count);
        text += " times,";
    }
    text += x.is_read ? " from " : " to ";
    append_where(text, x.fd);
    if (!x.data.empty()) {
        text += ": \"";
        size_t start = text.size();
        append_escaped_bytes(text, x.data, 40);
        bool cut = size_t(x.total) > x.data.size() || text.size() - start < x.data.size();
        text += cut ? "\"..." : "\"";
    }
    if (x.full) {
        text += " (more than the pipe had room for: it waited ";
        text += seconds_text(x.waited);
        text += " for the reader to make room)";
    } else if (x.waited >= kWaitShown && !x.ready) {
        text += " (waited ";
        text += seconds_text(x.waited);
        text += ")";
    }
    if (x.dropped > 0) // SCM_RIGHTS with no room for it
        text += x.dropped == 1 ? "; it had no room for the descriptor passed with them: the "
                                 "kernel closes it"
                               : "; it had no room for the " + std::to_string(x.dropped) +
                                     " descriptors passed with them: the kernel closes them";
    if (x.passed.empty())
        return;
    text += x.is_read ? ", and receives " : ", and passes ";
    for (size_t i = 0; i < x.passed.size(); ++i) {
        text += i == 0 ? "" : i + 1 == x.passed.size() ? " and " : ", ";
        text += "fd ";
        text += std::to_string(x.passed[i].first);
        if (auto c = x.passed[i].second; c && *c < run.channels().size()) {
            text += " (";
            append_channel_name(text, run.channels()[*c]);
            text += ")";
        }
    }
    text += x.is_read ? ": a copy of the sender's, on the same open file description"
                      : " through the socket";
}

std::string Describe::operator()(const step::TransferFailed& x) const
{
    return std::string(x.is_read ? "tries to read " : "tries to write ") +
           plural(x.asked, "{1} byte", "{1} bytes") + (x.is_read ? " from " : " to ") + where(x.fd);
}

// "fd 3 (pipe A) and fd 5 (pipe B)", the ready ones or all
std::string Describe::watched(const step::Poll& x, bool ready_only) const
{
    std::vector<std::string> names;
    for (const auto& w : x.fds) {
        if (ready_only && !w.ready)
            continue;
        std::string name = "fd " + std::to_string(w.fd);
        if (w.channel && *w.channel < run.channels().size())
            name += " (" + channel_name(run.channels()[*w.channel]) + ")";
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

std::string Describe::operator()(const step::Poll& x) const
{
    std::string text = "waits";
    if (x.finished && x.waited >= kWaitShown)
        text.append(" ").append(seconds_text(x.waited));
    text += " in " + x.call;
    if (!x.fds.empty())
        text += " on " + watched(x, false);
    else if (channel) // epoll_wait: what the epoll descriptor watches
        text += " on " + name();
    if (!x.finished)
        return text + " (still waiting at the end)";
    if (!s.error.empty())
        return text;
    if (x.ready == 0)
        return text + ": the time is up, none is ready";
    std::string ready = watched(x, true);
    if (ready.empty())
        return text + ": " + std::to_string(x.ready) + " ready";
    bool one =
        std::count_if(x.fds.begin(), x.fds.end(), [](const auto& w) { return w.ready; }) <= 1;
    return text + ": " + ready + (one ? " is ready" : " are ready");
}

std::string Describe::operator()(const step::Watch& x) const
{
    using Op = call::Watch::Op;
    std::string fd = "fd " + std::to_string(x.fd);
    if (x.watched && *x.watched < run.channels().size())
        fd += " (" + channel_name(run.channels()[*x.watched]) + ")";
    std::string epoll = "epoll fd " + std::to_string(x.epoll_fd);
    return x.op == Op::add      ? epoll + " now watches " + fd
           : x.op == Op::remove ? epoll + " no longer watches " + fd
                                : epoll + " watches " + fd + " for other events";
}

std::string Describe::operator()(const step::TransferWaiting& x) const
{
    return std::string("waits in ") + (x.is_read ? "read" : "write") + " on " + where(x.fd) +
           " (still waiting at the end)";
}

std::string Describe::operator()(const step::EndOfData& x) const
{
    bool pipe =
        channel && (channel->kind == Channel::Kind::pipe || channel->kind == Channel::Kind::fifo);
    return "read returned 0 on " + where(x.fd) +
           (pipe ? ": no writer left, end of data" : ": end of input") +
           (x.count > 1 ? " (" + std::to_string(x.count) + " times)" : "") +
           (x.waited >= kWaitShown ? " (waited " + seconds_text(x.waited) + ")" : "");
}

std::string Describe::operator()(const step::UnreadWait& x) const
{
    return "waits until " + name() + " has been read: asked " +
           plural(x.asks, "{1} time", "{1} times") + " how many bytes are unread (last answer " +
           std::to_string(x.last_answer) + "), paused " + seconds_text(x.paused);
}

std::string Describe::operator()(const step::Lock& x) const
{
    if (x.release)
        return "unlocks " + where(x.fd);
    return "locks " + where(x.fd) + (x.exclusive ? " for itself alone" : ", shared") +
           (x.wait ? "" : ", without waiting") +
           ": no other process can take the lock until this one lets go or ends";
}

std::string Describe::operator()(const step::Map& x) const
{
    std::string bytes = std::to_string(x.bytes) + (x.bytes == 1 ? " byte" : " bytes");
    if (x.unmaps)
        return "unmaps the " + bytes + " it shared";
    if (x.fd < 0)
        return "maps " + bytes +
               " of memory shared (MAP_SHARED): a child forked from now on "
               "shares them, and each sees what the other puts there";
    return "maps " + bytes + " of fd " + std::to_string(x.fd) +
           " shared (MAP_SHARED): what it puts there reaches the file, and every process "
           "that maps it";
}

} // namespace timeline::words
