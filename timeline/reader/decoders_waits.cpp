// The decoders of waits on several descriptors (poll, select,
// epoll_wait), of descriptor flags (fcntl), of what a process does with
// signals, and of calls whose arguments are plain numbers.
#include <algorithm>
#include <vector>

#include "reader/decode_parts.hpp"
#include "reader/strace_syntax.hpp"

namespace timeline::strace {
namespace {

// The descriptors of poll's "[{fd=3<pipe:[7]>, events=POLLIN}, ...]", or
// of select's "[3<pipe:[7]> 5<pipe:[8]>]".
void watched(std::string_view list, std::vector<call::Poll::Watched>& fds)
{
    if (list.size() < 2 || list.front() != '[' || list.back() != ']')
        return;
    list = list.substr(1, list.size() - 2);
    if (list.starts_with("{")) {
        for (auto item : split_args(list)) {
            auto fields = split_args(item.substr(1, item.size() - (item.size() > 1 ? 2 : 1)));
            if (!fields.empty() && fields[0].starts_with("fd="))
                if (auto fd = parse_descriptor(fields[0].substr(3)))
                    fds.push_back({.fd = std::move(*fd)});
        }
        return;
    }
    while (!list.empty()) {
        size_t end = find_top_level(list, [](size_t, char c) { return c == ' '; });
        if (auto fd = parse_descriptor(list.substr(0, end)))
            fds.push_back({.fd = std::move(*fd)});
        if (end == std::string_view::npos)
            break;
        list.remove_prefix(end + 1);
    }
}

// The numbers in a list of the result: "5, revents=POLLIN}, {fd=6" after
// "fd=", "3 11]" after "in [".
std::vector<long long> numbers_after(std::string_view text, std::string_view key, bool one)
{
    std::vector<long long> found;
    for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        std::string_view rest = text.substr(at + key.size());
        while (auto n = leading_number(rest)) {
            found.push_back(*n);
            if (one || !rest.starts_with(" "))
                break;
            rest.remove_prefix(1);
        }
    }
    return found;
}

// Which of them the result names as ready: poll's "1 ([{fd=5,
// revents=POLLIN}])", select's "1 (in [5], left {...})".
void mark_ready(std::string_view result, std::vector<call::Poll::Watched>& fds)
{
    size_t open = result.find('(');
    if (open == std::string_view::npos)
        return;
    std::string_view told = result.substr(open, result.find(", left") - open);
    std::vector<long long> ready = numbers_after(told, "fd=", true);
    for (std::string_view set : {"in [", "out [", "except ["})
        for (long long n : numbers_after(told, set, false))
            ready.push_back(n);
    for (auto& w : fds)
        w.ready = std::find(ready.begin(), ready.end(), w.fd.number) != ready.end();
}

} // namespace

namespace decode {

// fcntl(3<pipe:[7]>, F_SETFD, FD_CLOEXEC); F_DUPFD makes a copy, as dup.
Decoded fcntl(const Parts& p)
{
    std::string_view op = p.arg(1);
    if (!p.call.fd || p.failed())
        return std::nullopt;
    if (op == "F_DUPFD" || op == "F_DUPFD_CLOEXEC") {
        auto result = parse_descriptor(p.result);
        if (!result)
            return std::nullopt;
        return call::Dup{.result = *result, .cloexec = op == "F_DUPFD_CLOEXEC"};
    }
    using Op = call::Fcntl::Op;
    if (op == "F_SETFD")
        return call::Fcntl{.op = p.arg(2) == "FD_CLOEXEC" ? Op::close_on_exec : Op::keep_on_exec};
    if (op == "F_SETFL")
        return call::Fcntl{
            .op = Op::status_flags, .flags = std::string(p.arg(2)), .status = p.status_flags()};
    if (op == "F_SETPIPE_SZ") // the kernel rounds the size up: the result is what it made
        return call::Fcntl{.op = Op::pipe_size, .size = p.call.value};
    return call::Fcntl{.op = Op::ask};
}

Decoded poll(const Parts& p)
{
    call::Poll poll{.ready = p.call.value};
    watched(p.arg(0), poll.fds);
    mark_ready(p.result, poll.fds);
    return poll;
}

// select(6, [3<pipe:[7]> 5<pipe:[8]>], NULL, NULL, NULL): three sets.
Decoded select(const Parts& p)
{
    call::Poll poll{.ready = p.call.value};
    for (size_t set = 1; set <= 3; ++set)
        watched(p.arg(set), poll.fds);
    mark_ready(p.result, poll.fds);
    return poll;
}

// epoll_wait tells how many were ready, not which.
Decoded epoll_wait(const Parts& p)
{
    return call::Poll{.ready = p.call.value};
}

Decoded watch(const Parts& p)
{
    auto fd = parse_descriptor(p.arg(2));
    if (!p.call.fd || !fd || p.failed())
        return std::nullopt;
    using Op = call::Watch::Op;
    std::string_view op = p.arg(1);
    return call::Watch{.op = op == "EPOLL_CTL_DEL"   ? Op::remove
                             : op == "EPOLL_CTL_MOD" ? Op::change
                                                     : Op::add,
                       .fd = *fd};
}

// rt_sigaction(SIGPIPE, {sa_handler=SIG_IGN, ...}, ...); one that only
// asks has its second argument NULL.
Decoded signal_action(const Parts& p)
{
    std::string_view act = p.arg(1);
    std::string_view handler = word_after(act, "sa_handler=");
    using D = call::SignalAction::Disposition;
    if (p.failed())
        return std::nullopt;
    return call::SignalAction{.signal = std::string(p.arg(0)),
                              .disposition = act == "NULL" || handler.empty() ? D::asks
                                             : handler == "SIG_IGN"           ? D::ignore
                                             : handler == "SIG_DFL"           ? D::restore_default
                                                                              : D::handler};
}

// rt_sigprocmask(SIG_BLOCK, [CHLD], NULL, 8); one that only asks has its
// set NULL.
Decoded signal_mask(const Parts& p)
{
    std::string_view how = p.arg(0);
    std::string_view set = p.arg(1);
    if (p.failed())
        return std::nullopt;
    using How = call::SignalMask::How;
    return call::SignalMask{.how = set == "NULL" || set.size() < 2 ? How::asks
                                   : how == "SIG_UNBLOCK"          ? How::unblock
                                   : how == "SIG_BLOCK"            ? How::block
                                                                   : How::set,
                            .signals = std::string(set),
                            .before = p.arg(2) == "NULL" ? std::string() : std::string(p.arg(2))};
}

// setpgid(0, 0), prctl(PR_SET_CHILD_SUBREAPER, 1): the arguments as they are.
Decoded numbers(const Parts& p)
{
    call::Numbers n;
    for (auto a : p.args)
        n.args.emplace_back(a);
    return n;
}

} // namespace decode
} // namespace timeline::strace
