// Descriptors and the data through them in words: pipes, FIFOs, files,
// sockets, copies, reads and writes, waits on several descriptors.
#include <algorithm>
#include <string>
#include <vector>

#include "views/describe.hpp"

namespace timeline::words {

std::string Describe::operator()(const step::Pipe& x) const
{
    std::string text;
    append(text, x);
    return text;
}

// Appended in place: a long trace has many of these.
void Describe::append(std::string& text, const step::Pipe& x) const
{
    append_filled(text,
                  x.cloexec ? tr("creates {1}: fd {2} reads, fd {3} writes, both close-on-exec")
                            : tr("creates {1}: fd {2} reads, fd {3} writes"),
                  [&](std::string& out, int part) {
                      if (part == 1 && channel)
                          append_channel_name(out, *channel, Article::definite);
                      else if (part == 2)
                          out += std::to_string(x.read_fd);
                      else if (part == 3)
                          out += std::to_string(x.write_fd);
                  });
}

std::string Describe::operator()(const step::SocketPair& x) const
{
    return fill(tr("creates {1}: fds {2} and {3}, each end reads and writes"),
                {the(), std::to_string(x.fd), std::to_string(x.other_fd)});
}

std::string Describe::operator()(const step::MakeFifo& /*unused*/) const
{
    return s.error == "EEXIST" ? fill(tr("{1} is there already: reused"), {the()})
           : s.error.empty()   ? fill(tr("creates {1}"), {the()})
                               : fill(tr("{1}: mkfifo fails: {2}"), {name(), error_text(s.error)});
}

namespace {

// How a FIFO's open met the other side, said after what it opened.
const char* met_words(const step::Open& x)
{
    bool reads = x.access == Access::read;
    switch (x.met) {
    case step::Open::Met::there:
        return reads ? tr(" (a writer was there already)") : tr(" (a reader was there already)");
    case step::Open::Met::waited:
        return reads ? tr(", after waiting {1} for a writer")
                     : tr(", after waiting {1} for a reader");
    case step::Open::Met::none_yet:
        return tr(" (no writer yet; O_NONBLOCK: it does not wait for one)");
    case step::Open::Met::both:
        return tr(" (both ends at once: it waits for no one)");
    case step::Open::Met::not_asked:
        break;
    }
    return "";
}

} // namespace

std::string Describe::operator()(const step::Open& x) const
{
    const char* opens = x.access == Access::read    ? tr("opens {1} for reading as fd {2}")
                        : x.access == Access::write ? tr("opens {1} for writing as fd {2}")
                                                    : tr("opens {1} for read/write as fd {2}");
    std::string text = fill(opens, {the(), std::to_string(x.fd)});
    if (x.cloexec)
        text += ", close-on-exec";
    if (channel && channel->kind == Channel::Kind::fifo)
        text += fill(met_words(x), {seconds_text(x.waited)});
    return text;
}

std::string Describe::operator()(const step::OpenWaiting& x) const
{
    return fill(x.access == Access::read
                    ? tr("waits in open of {1} for a writer (still waiting at the end)")
                    : tr("waits in open of {1} for a reader (still waiting at the end)"),
                {the()});
}

std::string Describe::operator()(const step::OpenFailed& x) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return fill(tr("waits to open {1}"), {x.path});
    return fill(tr("open {1} fails: {2}"), {x.path, error_text(s.error)});
}

std::string Describe::operator()(const step::Close& x) const
{
    std::string text;
    append(text, x);
    return text;
}

// Appended in place: a long trace has many of these.
void Describe::append(std::string& text, const step::Close& x) const
{
    append_filled(text, tr("closes {1}"),
                  [&](std::string& out, int /*part*/) { append_where(out, x.fd, x.end); });
}

std::string Describe::operator()(const step::Fcntl& x) const
{
    using Op = call::Fcntl::Op;
    std::string fd = where(x.fd, x.end);
    switch (x.op) {
    case Op::close_on_exec:
        return fill(tr("marks {1} close-on-exec: a new program will not get it"), {fd});
    case Op::keep_on_exec:
        return fill(tr("keeps {1} open across exec"), {fd});
    case Op::status_flags:
        if (x.flags.find("O_NONBLOCK") != std::string::npos)
            return fill(tr("makes {1} non-blocking ({2}): a read or write that would wait fails "
                           "with EAGAIN"),
                        {fd, x.flags});
        return fill(tr("sets the flags of {1} to {2}"), {fd, x.flags});
    case Op::pipe_size:
        return fill(tr("makes {1} hold up to {2} bytes (F_SETPIPE_SZ): a write that finds it full "
                       "waits"),
                    {fd, std::to_string(x.size)});
    case Op::ask:
        break;
    }
    return fill(tr("asks the flags of {1}"), {fd});
}

std::string Describe::operator()(const step::Seek& x) const
{
    return fill(x.asks ? tr("asks where the offset of {1} is: byte {2}")
                       : tr("moves the offset of {1} to byte {2}"),
                {where(x.fd), std::to_string(x.offset)});
}

std::string Describe::operator()(const step::Dup& x) const
{
    std::string fd = std::to_string(x.fd), from = std::to_string(x.from);
    std::string text =
        channel ? fill(tr("fd {1} now points where fd {2} does ({3})"), {fd, from, name()})
                : fill(tr("fd {1} now points where fd {2} does"), {fd, from});
    return x.cloexec ? text + ", close-on-exec" : text;
}

// "creates socket 1 as fd 3", "creates eventfd as fd 4"
std::string Describe::operator()(const step::NewFd& x) const
{
    std::string fd = std::to_string(x.fd);
    if (name().empty())
        return fill(tr("creates a descriptor as fd {1}"), {fd});
    return fill(tr("creates {1} as fd {2}"), {the(), fd});
}

std::string Describe::operator()(const step::Accept& x) const
{
    return fill(tr("accepts a connection on fd {1}: {2}"),
                {std::to_string(x.listening), where(x.fd)});
}

std::string Describe::operator()(const step::SocketAddress& x) const
{
    using Verb = call::SocketAddress::Verb;
    if (x.verb == Verb::listen)
        return fill(tr("listens on {1} for connections"), {where(x.fd)});
    bool binds = x.verb == Verb::bind;
    if (x.address.empty())
        return fill(binds ? tr("binds {1}") : tr("connects {1}"), {where(x.fd)});
    return fill(binds ? tr("binds {1} to {2}") : tr("connects {1} to {2}"),
                {where(x.fd), x.address});
}

std::string Describe::operator()(const step::Transfer& x) const
{
    std::string text;
    append(text, x);
    return text;
}

namespace {

// "reads 10 bytes from {2}", "writes 1 byte, 11 times, to {3}"
const char* transfer_words(const step::Transfer& x)
{
    auto bytes = static_cast<unsigned long>(x.bytes);
    if (x.count > 1)
        return x.is_read ? tr_n("reads {1} byte, {2} times, from {3}",
                                "reads {1} bytes, {2} times, from {3}", bytes)
                         : tr_n("writes {1} byte, {2} times, to {3}",
                                "writes {1} bytes, {2} times, to {3}", bytes);
    return x.is_read ? tr_n("reads {1} byte from {3}", "reads {1} bytes from {3}", bytes)
                     : tr_n("writes {1} byte to {3}", "writes {1} bytes to {3}", bytes);
}

} // namespace

// Appended in place: a long trace has a million of these.
void Describe::append(std::string& text, const step::Transfer& x) const
{
    append_filled(text, transfer_words(x), [&](std::string& out, int part) {
        if (part == 1)
            out += std::to_string(x.bytes);
        else if (part == 2)
            out += std::to_string(x.count);
        else if (part == 3)
            append_where(out, x.fd);
    });
    if (!x.data.empty()) {
        text += ": \"";
        size_t start = text.size();
        append_escaped_bytes(text, x.data, 40);
        bool cut = size_t(x.total) > x.data.size() || text.size() - start < x.data.size();
        text += cut ? "\"..." : "\"";
    }
    if (x.full)
        text += fill(tr(" (more than the pipe had room for: it waited {1} for the reader to make "
                        "room)"),
                     {seconds_text(x.waited)});
    else if (x.waited >= kWaitShown && !x.ready)
        text += fill(tr(" (waited {1})"), {seconds_text(x.waited)});
    if (x.dropped == 1) // SCM_RIGHTS with no room for it
        text += tr("; it had no room for the descriptor passed with them: the kernel closes it");
    else if (x.dropped > 1)
        text += fill(tr("; it had no room for the {1} descriptors passed with them: the kernel "
                        "closes them"),
                     {std::to_string(x.dropped)});
    if (!x.passed.empty())
        text += fill(x.is_read ? tr(", and receives {1}: a copy of the sender's, on the same open "
                                    "file description")
                               : tr(", and passes {1} through the socket"),
                     {passed(x)});
}

// "fd 5 (socket pair A) and fd 6", the descriptors a message carries
std::string Describe::passed(const step::Transfer& x) const
{
    std::vector<std::string> fds;
    for (const auto& [fd, c] : x.passed) {
        std::string text = "fd " + std::to_string(fd);
        if (c && *c < run.channels().size())
            text += " (" + channel_name(run.channels()[*c]) + ")";
        fds.push_back(std::move(text));
    }
    return listed(fds);
}

std::string Describe::operator()(const step::TransferFailed& x) const
{
    auto asked = static_cast<unsigned long>(x.asked);
    return fill(
        x.is_read
            ? tr_n("tries to read {1} byte from {2}", "tries to read {1} bytes from {2}", asked)
            : tr_n("tries to write {1} byte to {2}", "tries to write {1} bytes to {2}", asked),
        {std::to_string(x.asked), where(x.fd)});
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
    return listed(names);
}

std::string Describe::operator()(const step::Poll& x) const
{
    bool timed = x.finished && x.waited >= kWaitShown;
    // epoll_wait waits on what its epoll descriptor watches: named as the channel.
    bool on = !x.fds.empty() || channel;
    std::string fds = !x.fds.empty() ? watched(x, false) : the();
    std::string waited = timed ? seconds_text(x.waited) : std::string();
    std::string text =
        !on ? fill(timed ? tr("waits {2} in {1}") : tr("waits in {1}"), {x.call, waited})
            : fill(timed ? tr("waits {2} in {1} on {3}") : tr("waits in {1} on {3}"),
                   {x.call, waited, fds});
    if (!x.finished)
        return text + tr(" (still waiting at the end)");
    if (!s.error.empty())
        return text;
    if (x.ready == 0)
        return text + tr(": the time is up, none is ready");
    std::string ready = watched(x, true);
    if (ready.empty())
        return text + fill(tr(": {1} ready"), {std::to_string(x.ready)});
    bool one =
        std::count_if(x.fds.begin(), x.fds.end(), [](const auto& w) { return w.ready; }) <= 1;
    return text + fill(one ? tr(": {1} is ready") : tr(": {1} are ready"), {ready});
}

std::string Describe::operator()(const step::Watch& x) const
{
    using Op = call::Watch::Op;
    std::string fd = "fd " + std::to_string(x.fd);
    if (x.watched && *x.watched < run.channels().size())
        fd += " (" + channel_name(run.channels()[*x.watched]) + ")";
    return fill(x.op == Op::add      ? tr("epoll fd {1} now watches {2}")
                : x.op == Op::remove ? tr("epoll fd {1} no longer watches {2}")
                                     : tr("epoll fd {1} watches {2} for other events"),
                {std::to_string(x.epoll_fd), fd});
}

std::string Describe::operator()(const step::TransferWaiting& x) const
{
    return fill(x.is_read ? tr("waits in read on {1} (still waiting at the end)")
                          : tr("waits in write on {1} (still waiting at the end)"),
                {where(x.fd)});
}

std::string Describe::operator()(const step::EndOfData& x) const
{
    bool pipe =
        channel && (channel->kind == Channel::Kind::pipe || channel->kind == Channel::Kind::fifo);
    std::string text = fill(pipe ? tr("read returned 0 on {1}: no writer left, end of data")
                                 : tr("read returned 0 on {1}: end of input"),
                            {where(x.fd)});
    if (x.count > 1)
        text += fill(tr(" ({1} times)"), {std::to_string(x.count)});
    if (x.waited >= kWaitShown)
        text += fill(tr(" (waited {1})"), {seconds_text(x.waited)});
    return text;
}

std::string Describe::operator()(const step::UnreadWait& x) const
{
    return fill(tr("waits until {1} has been read: asked {2} how many bytes are unread (last "
                   "answer {3}), paused {4}"),
                {the(), plural(x.asks, "{1} time", "{1} times"), std::to_string(x.last_answer),
                 seconds_text(x.paused)});
}

std::string Describe::operator()(const step::Lock& x) const
{
    if (x.release)
        return fill(tr("unlocks {1}"), {where(x.fd)});
    const char* locks =
        x.exclusive
            ? (x.wait ? tr("locks {1} for itself alone: no other process can take the lock until "
                           "this one lets go or ends")
                      : tr("locks {1} for itself alone, without waiting: no other process can "
                           "take the lock until this one lets go or ends"))
            : (x.wait ? tr("locks {1}, shared: no other process can take the lock until this one "
                           "lets go or ends")
                      : tr("locks {1}, shared, without waiting: no other process can take the "
                           "lock until this one lets go or ends"));
    return fill(locks, {where(x.fd)});
}

std::string Describe::operator()(const step::Map& x) const
{
    auto bytes = static_cast<unsigned long>(x.bytes);
    std::string count = std::to_string(x.bytes);
    if (x.unmaps)
        return fill(tr_n("unmaps the {1} byte it shared", "unmaps the {1} bytes it shared", bytes),
                    {count});
    if (x.fd < 0)
        return fill(tr_n("maps {1} byte of memory shared (MAP_SHARED): a child forked from now on "
                         "shares them, and each sees what the other puts there",
                         "maps {1} bytes of memory shared (MAP_SHARED): a child forked from now "
                         "on shares them, and each sees what the other puts there",
                         bytes),
                    {count});
    return fill(tr_n("maps {1} byte of fd {2} shared (MAP_SHARED): what it puts there reaches "
                     "the file, and every process that maps it",
                     "maps {1} bytes of fd {2} shared (MAP_SHARED): what it puts there reaches "
                     "the file, and every process that maps it",
                     bytes),
                {count, std::to_string(x.fd)});
}

} // namespace timeline::words
