#include "model/channels.hpp"

#include <algorithm>
#include <utility>

namespace timeline {
namespace {

// All terminals are one channel, found by this name.
const std::string& terminal_key()
{
    static const std::string key = "terminal";
    return key;
}

// "socket:[4471]" as -y names a socket; "UNIX-STREAM:[4471->4472]",
// "TCP:[127.0.0.1:80->127.0.0.1:5000]" as -yy does.
bool is_socket(std::string_view name)
{
    if (name.starts_with("socket:"))
        return true;
    size_t colon = name.find(":[");
    return colon != std::string_view::npos && colon > 0 &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") == colon;
}

bool is_terminal(std::string_view path)
{
    return path.starts_with("/dev/pts/") || path.starts_with("/dev/tty") || path == "/dev/console";
}

// How -yy names a socket, without the path it is bound to:
// "UNIX-STREAM:[4471,"server.sock"]" is "UNIX-STREAM:[4471]". A connected
// socket's two ends are one channel: "UNIX-STREAM:[4472->4471]" and
// "UNIX-STREAM:[4471->4472]" are both "UNIX-STREAM:[4471<->4472]", whose
// ends were "UNIX-STREAM:[4471]" and "UNIX-STREAM:[4472]" before.
struct SocketName {
    std::string key;
    std::string local; // a connected socket's ends
    std::string peer;
};

SocketName socket_name(const std::string& name)
{
    size_t open = name.find(":[");
    if (open == std::string::npos || name.back() != ']')
        return {name, "", ""};
    size_t end = name.find(",\"", open);
    if (end == std::string::npos)
        end = name.size() - 1;
    std::string proto = name.substr(0, open + 2);
    std::string inside = name.substr(open + 2, end - open - 2);
    size_t arrow = inside.find("->");
    if (arrow == std::string::npos)
        return {proto + inside + "]", "", ""};
    std::string a = inside.substr(0, arrow);
    std::string b = inside.substr(arrow + 2);
    SocketName n{"", proto + a + "]", proto + b + "]"};
    if (b < a)
        std::swap(a, b);
    n.key = proto + a + "<->" + b + "]";
    return n;
}

} // namespace

std::string_view anon_name(std::string_view target)
{
    size_t open = target.find('[');
    if (!target.starts_with("anon_inode:") || open == std::string_view::npos)
        return target;
    return target.substr(open + 1, target.find(']', open) - open - 1);
}

Channels::Channels(std::function<bool(const std::string&)> is_fifo) : is_fifo_(std::move(is_fifo))
{
}

std::optional<size_t> Channels::of(const Target& target, std::optional<size_t> otherwise)
{
    if (target.name.empty())
        return std::nullopt;
    bool terminal = target.kind == Target::Kind::path && is_terminal(target.name);
    bool socket = target.kind == Target::Kind::other && is_socket(target.name);
    SocketName sock = socket ? socket_name(target.name) : SocketName{};
    const std::string& key = terminal ? terminal_key() : socket ? sock.key : target.name;
    if (auto it = by_target_.find(key); it != by_target_.end())
        return it->second;
    // A connection seen for the first time: the channel of either end as
    // it was before it connected. Each end's own name leads to it from now
    // on: once the other end has closed, strace names an end alone.
    std::optional<size_t> found;
    if (!sock.local.empty())
        for (const std::string* end : {&sock.local, &sock.peer})
            if (auto known = by_target_.find(*end); !found && known != by_target_.end())
                found = known->second;
    if (!found && otherwise) {
        by_target_[key] = *otherwise;
        return otherwise;
    }
    if (!found)
        found = place_for(made(target, terminal, socket));
    by_target_[key] = *found;
    if (!sock.local.empty()) {
        by_target_.emplace(sock.local, *found);
        by_target_.emplace(sock.peer, *found);
    }
    return found;
}

Channel Channels::made(const Target& target, bool terminal, bool socket)
{
    Channel c;
    if (terminal) {
        c.kind = Channel::Kind::terminal;
    } else if (target.kind == Target::Kind::pipe) {
        c.kind = Channel::Kind::pipe;
        c.target = target.name;
    } else if (socket) {
        c.kind = Channel::Kind::socket;
        c.number = ++sockets_numbered_;
    } else if (target.kind != Target::Kind::path) {
        // An eventfd's counter: its writes a read takes as a pipe's.
        c.target = target.name;
        if (anon_name(target.name) == "eventfd")
            c.kind = Channel::Kind::counter;
    } else {
        c.path = target.name;
        c.kind = is_fifo_ && is_fifo_(target.name) ? Channel::Kind::fifo : Channel::Kind::file;
    }
    return c;
}

size_t Channels::place_for(Channel channel)
{
    if (free_.empty()) {
        channels_.push_back(std::move(channel));
        return channels_.size() - 1;
    }
    size_t place = free_.back();
    free_.pop_back();
    channels_[place] = std::move(channel);
    return place;
}

std::optional<size_t> Channels::fifo(const std::string& path)
{
    auto c = of({path.front() == '/' ? Target::Kind::path : Target::Kind::other, path});
    if (c)
        channels_[*c].kind = Channel::Kind::fifo;
    return c;
}

std::optional<size_t> Channels::find(const std::string& target) const
{
    auto it = by_target_.find(target);
    return it == by_target_.end() ? std::nullopt : std::optional(it->second);
}

void Channels::also_named(const std::string& target, size_t channel)
{
    by_target_[target] = channel;
}

void Channels::number_pipe(size_t channel)
{
    Channel& pipe = channels_[channel];
    if (!pipe.created_here) {
        pipe.created_here = true;
        pipe.number = ++pipes_numbered_;
    }
}

void Channels::number_socket_pair(size_t channel)
{
    Channel& pair = channels_[channel];
    pair.kind = Channel::Kind::socket;
    pair.created_here = true;
    pair.pair = true;
    pair.number = ++socket_pairs_numbered_;
}

void Channels::begin_run()
{
    pipes_numbered_ = socket_pairs_numbered_ = sockets_numbered_ = 0;
}

void Channels::mentioned(size_t channel, size_t step)
{
    Channel& c = channels_[channel];
    c.first_step = std::min(c.first_step, step);
    c.last_step = step;
}

void Channels::held(size_t channel)
{
    ++channels_[channel].holders;
}

void Channels::let_go(size_t channel)
{
    Channel& c = channels_[channel];
    if (--c.holders == 0 && c.kind == Channel::Kind::fifo)
        emptied_.push_back(channel);
    if (c.holders != 0 || c.kind != Channel::Kind::pipe || c.target.empty())
        return;
    auto named = by_target_.find(c.target);
    if (named != by_target_.end() && named->second == channel) {
        by_target_.erase(named);
        closed_.push_back(channel);
    }
}

void Channels::recycle(size_t kept, size_t first_live, const std::function<void(size_t)>& freed)
{
    while (!closed_.empty()) {
        size_t c = closed_.front();
        const Channel& channel = channels_[c];
        bool named = channel.first_step != SIZE_MAX;
        if (named && channel.first_step < kept) {
            closed_.pop_front(); // a kept step names it: it stays
            continue;
        }
        if (named && channel.last_step >= first_live)
            return; // still to be told
        closed_.pop_front();
        freed(c);
        free_.push_back(c);
    }
}

void Channels::bound(size_t channel, const std::string& address)
{
    bound_[channel] = address;
}

void Channels::connecting(const std::string& address, size_t channel)
{
    connecting_[address].push_back(channel);
}

std::deque<size_t>* Channels::waiting_on(size_t listening)
{
    auto bound = bound_.find(listening);
    return bound == bound_.end() ? nullptr : &connecting_[bound->second];
}

} // namespace timeline
