#include "reader/decoders.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/decode_parts.hpp"
#include "reader/strace_syntax.hpp"

namespace timeline::strace {

// The decoders, beside those of decoders_waits.cpp.
namespace decode {

constexpr Decode none = nullptr; // kept as written

// One decoder per shape of arguments. Each returns nothing when the
// call did not do what its shape says (a failed pipe, a wait that found
// nothing to collect yet): the call is then shown as written.

template <size_t PathArg> Decoded exec(const Parts& p)
{
    call::Exec exec{.path = unquote(p.arg(PathArg))};
    std::string_view argv = p.arg(PathArg + 1);
    if (argv.size() >= 2 && argv.front() == '[' && argv.back() == ']') {
        exec.argv.emplace();
        for (auto word : split_args(argv.substr(1, argv.size() - 2)))
            exec.argv->push_back(unquote(word));
    }
    return exec;
}

// "clone(child_stack=NULL, flags=CLONE_VM|CLONE_VFORK|SIGCHLD)", or
// clone3's "{flags=CLONE_VM|CLONE_THREAD|..., ...}"; vfork has no flags.
Decoded spawn(const Parts& p)
{
    // One that never returned ("= ?") is the reader's to settle: it knows
    // whose steps waited for it.
    if (!p.call.finished || (p.call.value <= 0 && !p.call.no_return))
        return std::nullopt;
    auto flag = [&](std::string_view name) {
        return std::any_of(p.args.begin(), p.args.end(), [&](std::string_view a) {
            return a.find(name) != std::string_view::npos;
        });
    };
    bool thread = flag("CLONE_THREAD");
    return call::Spawn{.thread = thread,
                       .borrows = !thread && (p.call.name == "vfork" || flag("CLONE_VM"))};
}

Decoded exit(const Parts& p)
{
    return call::Exit{.status = int(number_or(p.arg(0), 0))};
}

// A wait still going on, one that found no child (ECHILD), and one that
// found nothing to collect yet (WNOHANG) all report no child.
template <bool IsWaitid> Decoded wait(const Parts& p)
{
    if (!p.call.finished || p.call.error == "ECHILD")
        return call::Wait{};
    if (p.call.value < 0 || (IsWaitid && p.call.value != 0))
        return std::nullopt;
    if (IsWaitid) {
        call::Wait w = waitid_report(p.arg(2));
        w.leaves_zombie = p.arg(3).find("WNOWAIT") != std::string_view::npos;
        return w;
    }
    if (p.call.value == 0)
        return call::Wait{};
    return wait_report(int(p.call.value), p.arg(1));
}

Decoded kill(const Parts& p)
{
    return call::Kill{.target = int(number_or(p.arg(0), 0)),
                      .signal = std::string(p.args.empty() ? "" : p.args.back())};
}

template <size_t PathArg> Decoded mknod(const Parts& p)
{
    if (!p.arg(PathArg + 1).starts_with("S_IFIFO"))
        return std::nullopt;
    std::string path = unquote(p.arg(PathArg));
    if (path.empty())
        return std::nullopt;
    return call::MakeFifo{.path = PathArg == 0 ? path : resolve(p.arg(0), path)};
}

template <size_t PathArg> Decoded open(const Parts& p)
{
    call::Open open{.path = unquote(p.arg(PathArg)),
                    .access = access_of(p.arg(PathArg + 1)),
                    .cloexec = p.arg(PathArg + 1).find("O_CLOEXEC") != std::string_view::npos,
                    .flags = p.status_flags()};
    open.resolved = PathArg == 0 ? open.path : resolve(p.arg(0), open.path);
    if (p.call.finished && p.call.error.empty())
        open.result = parse_descriptor(p.result);
    return open;
}

// pipe's "[3<pipe:[7]>, 4<pipe:[7]>]"; socketpair's, its fourth argument.
template <size_t PairArg> Decoded pipe(const Parts& p)
{
    std::string_view pair = p.arg(PairArg);
    if (p.failed() || pair.size() < 2)
        return std::nullopt;
    auto ends = split_args(pair.substr(1, pair.size() - 2));
    if (ends.size() != 2)
        return std::nullopt;
    call::FdPair fds{.cloexec = p.cloexec(), .flags = p.status_flags()};
    for (int i = 0; i < 2; ++i) {
        auto fd = parse_descriptor(ends[size_t(i)]);
        if (!fd)
            return std::nullopt;
        (i == 0 ? fds.read : fds.write) = std::move(*fd);
    }
    return fds;
}

Decoded close(const Parts& /*unused*/)
{
    return call::Close{};
}

Decoded dup(const Parts& p)
{
    auto result = parse_descriptor(p.result);
    if (!result || !p.call.fd)
        return std::nullopt;
    return call::Dup{.result = *result, .cloexec = p.cloexec()};
}

// socket(...) = 4<UNIX-STREAM:[7]>, accept(...) = 5<...>, eventfd2(0, 0) = 3<...>
template <bool Accepted> Decoded new_fd(const Parts& p)
{
    auto result = parse_descriptor(p.result);
    if (!result || p.failed() || (Accepted && !p.call.fd))
        return std::nullopt;
    return call::NewFd{
        .result = *result, .accepted = Accepted, .cloexec = p.cloexec(), .flags = p.status_flags()};
}

// "{sa_family=AF_UNIX, sun_path="server.sock"}",
// "{sa_family=AF_INET, sin_port=htons(80), sin_addr=inet_addr("127.0.0.1")}"
template <call::SocketAddress::Verb Verb> Decoded socket_address(const Parts& p)
{
    if (!p.call.fd)
        return std::nullopt;
    call::SocketAddress a{.verb = Verb};
    std::string_view where = p.arg(1);
    if (size_t path = where.find("sun_path="); path != std::string_view::npos) {
        a.address = unquote(where.substr(path + 9));
    } else if (size_t host = where.find("inet_addr("); host != std::string_view::npos) {
        a.address = unquote(where.substr(host + 10));
        std::string_view port = word_after(where, "htons(");
        if (!port.empty()) {
            a.address += ':';
            a.address.append(port.substr(0, port.find(')')));
        }
    }
    return a;
}

Decoded stat(const Parts& p)
{
    bool fifo =
        std::any_of(p.args.begin() + std::min<ptrdiff_t>(1, ptrdiff_t(p.args.size())), p.args.end(),
                    [](std::string_view a) { return a.find("S_IFIFO") != std::string_view::npos; });
    return call::Stat{.fifo = fifo};
}

// A failed or interrupted one too: its error says what happened.
template <bool IsRead> Decoded transfer(const Parts& p)
{
    if (!p.call.fd)
        return std::nullopt;
    return call::Transfer{.is_read = IsRead,
                          .data = p.failed() ? std::string() : unquote(p.arg(1), kDataKept),
                          .asked = number_or(p.arg(2), 0)};
}

// sendmsg(4<...>, {msg_name=NULL, msg_namelen=0, msg_iov=[{iov_base="f",
// iov_len=1}], msg_iovlen=1, msg_control=[{cmsg_len=20, cmsg_level=SOL_SOCKET,
// cmsg_type=SCM_RIGHTS, cmsg_data=[5</tmp/given.txt>]}], ...}, 0) = 1: the
// first buffer's bytes, and the descriptors passed with them.
template <bool IsRead> Decoded message(const Parts& p)
{
    if (!p.call.fd)
        return std::nullopt;
    std::string_view msg = p.arg(1);
    call::Transfer t{.is_read = IsRead};
    if (size_t at = msg.find("iov_base="); at != std::string_view::npos && !p.failed())
        t.data = unquote(msg.substr(at + 9), kDataKept);
    if (size_t at = msg.find("iov_len="); at != std::string_view::npos)
        t.asked = number_or(msg.substr(at + 8, msg.find_first_of(",}", at) - at - 8), 0);
    constexpr std::string_view kRights = "cmsg_type=SCM_RIGHTS, cmsg_data=[";
    if (size_t at = msg.find(kRights); at != std::string_view::npos && !p.failed()) {
        std::vector<std::string_view> fds;
        split_args(msg.substr(at + kRights.size()), fds, ']');
        for (std::string_view text : fds)
            if (auto fd = parse_descriptor(text))
                t.passed.push_back(std::move(*fd));
    }
    t.passed_cloexec = p.arg(2).find("MSG_CMSG_CLOEXEC") != std::string_view::npos;
    return t;
}

Decoded ioctl(const Parts& p)
{
    std::string_view request = p.arg(1);
    if (request == "FIONREAD") {
        std::string_view answer = p.arg(2);
        return call::Unread{.answer = answer.size() > 2 ? number_or(answer.substr(1), 0) : 0};
    }
    if (request == "TCGETS" || request == "TIOCGWINSZ" || request == "TCSETS")
        return call::TerminalQuery{};
    return std::nullopt;
}

template <size_t TimeArg> Decoded sleep(const Parts& p)
{
    return call::Sleep{.seconds = timespec_seconds(p.arg(TimeArg))};
}

Decoded restart(const Parts& /*unused*/)
{
    return call::Restart{};
}

} // namespace decode

namespace {

struct Row {
    std::string_view name;
    Decode decode;
};

// Every call of the table, in the table's order: a call's row number is
// its place here.
constexpr std::array kRows{
#define CALL(name, decoder, handler, family, shown) Row{#name, decode::decoder},
#include "reader/calls.def"
#undef CALL
};

// The rows' numbers, sorted by name, for the build to find a row given
// twice.
constexpr auto kByName = [] {
    std::array<int, kRows.size()> order{};
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::ranges::sort(order, {}, [](int row) { return kRows[size_t(row)].name; });
    return order;
}();

static_assert(std::ranges::adjacent_find(kByName, {},
                                         [](int row) { return kRows[size_t(row)].name; }) ==
                  kByName.end(),
              "a call is in calls.def twice");

// The call's row, or -1: found by a hash of the names, made once.
int row_of(std::string_view name)
{
    static const auto rows = [] {
        std::unordered_map<std::string_view, int> by_name;
        for (size_t i = 0; i < kRows.size(); ++i)
            by_name.emplace(kRows[i].name, int(i));
        return by_name;
    }();
    auto it = rows.find(name);
    return it == rows.end() ? -1 : it->second;
}

// " = 3</tmp/x> <0.000123>": the value, the error and the duration.
void read_result(Call& call, std::string_view& result)
{
    if (!result.empty() && result.back() == '>') {
        size_t lt = result.rfind(" <");
        if (lt != std::string_view::npos) {
            if (auto took = seconds(result.substr(lt + 2, result.size() - lt - 3))) {
                call.duration = *took;
                result = result.substr(0, lt);
            }
        }
    }
    std::string_view number = result;
    if (number.starts_with("0x"))
        call.value = std::strtoll(std::string(number.substr(0, 20)).c_str(), nullptr, 16);
    else if (auto n = leading_number(number))
        call.value = *n;
    else if (number.starts_with("?")) {
        number.remove_prefix(1);
        call.no_return = true;
    }
    skip_blanks(number);
    if (!number.empty() && number.front() == 'E' && (call.value == -1 || result.starts_with("?")))
        call.error = std::string(number.substr(0, number.find(' ')));
    // "= ? ERESTARTSYS": a signal interrupted the call, which goes back to
    // the process (to its handler, then restarted or failing with EINTR).
    // Only a bare "= ?" never returned.
    if (!call.error.empty())
        call.no_return = false;
}

std::string as_written(const Call& call, const std::vector<std::string_view>& args,
                       std::string_view result)
{
    std::string text = call.name + "(";
    for (size_t i = 0; i < args.size(); ++i)
        text.append(i ? ", " : "").append(args[i]);
    text += ")";
    if (call.finished)
        text.append(" = ").append(result);
    else
        text += " ...";
    return text;
}

} // namespace

std::optional<Call> decode_call(std::string_view text, bool start_only)
{
    Call call;
    if (!decode_call(text, call, start_only))
        return std::nullopt;
    return call;
}

bool decode_call(std::string_view text, Call& call, bool start_only)
{
    size_t open = text.find('(');
    if (open == std::string_view::npos || open == 0)
        return false;
    for (char c : text.substr(0, open))
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
              c == '_' || c == '?'))
            return false;
    call.name = std::string(text.substr(0, open));
    std::string_view after = text.substr(open + 1);
    // One list for every call: a million lines, no allocation each.
    thread_local std::vector<std::string_view> args;
    size_t close = split_args(after, args, ')');
    std::string_view result;
    if (close == std::string_view::npos) {
        call.finished = false; // the trace ends in the middle of this call
    } else {
        result = after.substr(close + 1);
        skip_blanks(result);
        call.finished = result.starts_with("= ");
        if (call.finished) {
            result.remove_prefix(2);
            read_result(call, result);
        }
    }
    if (!args.empty())
        call.fd = parse_descriptor(args.front());
    // A call told at its start is shown as if it had done what it asked.
    if (start_only)
        call.finished = true;
    call.row = row_of(call.name);
    Decode decoder = call.row >= 0 ? kRows[size_t(call.row)].decode : decode::none;
    Decoded decoded = decoder ? decoder(Parts{args, result, call}) : std::nullopt;
    if (decoded)
        call.args = std::move(*decoded);
    else
        call.args = call::Unknown{as_written(call, args, result)};
    // Its count is the one it asked for: write's third argument, and
    // sendto's, whose flags and address follow.
    if (start_only)
        if (const auto* transfer = std::get_if<call::Transfer>(&call.args))
            call.value = transfer->asked;
    return true;
}

bool counts_from_start(const Call& call)
{
    if (const auto* transfer = std::get_if<call::Transfer>(&call.args))
        return !transfer->is_read;
    return std::holds_alternative<call::Sleep>(call.args);
}

bool starts_process(std::string_view name)
{
    int row = row_of(name);
    return row >= 0 && kRows[size_t(row)].decode == &decode::spawn;
}

} // namespace timeline::strace
