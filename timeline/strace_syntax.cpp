#include "strace_syntax.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace timeline::strace {
namespace {

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

void skip_blanks(std::string_view& s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
}

// The byte of the escape that starts at text[i], just after its
// backslash: "\\n", "\\x1b", "\\303", "\\\\". Leaves `i` on its last character.
char escaped(std::string_view text, size_t& i)
{
    auto digits = [&](int base, int most) {
        int value = 0;
        for (int n = 0; n < most && i + 1 < text.size(); ++n) {
            char d = text[i + 1];
            int digit = d >= '0' && d <= '9'                 ? d - '0'
                        : base == 16 && d >= 'a' && d <= 'f' ? d - 'a' + 10
                        : base == 16 && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                             : base;
            if (digit >= base)
                break;
            value = value * base + digit;
            ++i;
        }
        return static_cast<char>(value);
    };
    char e = text[i];
    switch (e) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case 'r':
        return '\r';
    case 'v':
        return '\v';
    case 'f':
        return '\f';
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'x':
        return digits(16, 2);
    default:
        if (e < '0' || e > '7')
            return e; // \\ and \"
        --i; // the first digit is part of the number
        return digits(8, 3);
    }
}

// A descriptor's target as -y writes it between < >: "a(b\\76c" is "a(b>c".
std::string unescape_target(std::string_view target)
{
    if (target.find('\\') == std::string_view::npos)
        return std::string(target);
    std::string name;
    name.reserve(target.size());
    for (size_t i = 0; i < target.size(); ++i)
        name += target[i] == '\\' && i + 1 < target.size() ? escaped(target, ++i) : target[i];
    return name;
}

long long number_or(std::string_view s, long long fallback)
{
    return leading_number(s).value_or(fallback);
}

// A path as the process named it, made absolute with the folder that the
// descriptor argument before it names ("AT_FDCWD</tmp/x>").
std::string resolve(std::string_view folder_arg, const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    size_t lt = folder_arg.find('<');
    if (lt == std::string_view::npos || folder_arg.back() != '>')
        return path;
    return unescape_target(folder_arg.substr(lt + 1, folder_arg.size() - lt - 2)) + "/" + path;
}

Access access_of(std::string_view flags)
{
    if (flags.find("O_RDWR") != std::string_view::npos)
        return Access::read_write;
    if (flags.find("O_WRONLY") != std::string_view::npos)
        return Access::write;
    return Access::read;
}

// "{tv_sec=1, tv_nsec=500000000}"
double timespec_seconds(std::string_view text)
{
    auto field = [&](std::string_view key) -> double {
        size_t at = text.find(key);
        if (at == std::string_view::npos)
            return 0;
        return std::strtod(std::string(text.substr(at + key.size(), 24)).c_str(), nullptr);
    };
    return field("tv_sec=") + field("tv_nsec=") / 1e9;
}

// The word after `key`: "SIGSTOP" in "WSTOPSIG(s) == SIGSTOP}]"; "" when
// there is no key.
std::string_view word_after(std::string_view text, std::string_view key)
{
    size_t at = text.find(key);
    if (at == std::string_view::npos)
        return {};
    text = text.substr(at + key.size());
    return text.substr(0, text.find_first_of("}], &"));
}

// wait4's status: "[{WIFEXITED(s) && WEXITSTATUS(s) == 3}]",
// "[{WIFSIGNALED(s) && WTERMSIG(s) == SIGKILL}]",
// "[{WIFSTOPPED(s) && WSTOPSIG(s) == SIGSTOP}]", "[{WIFCONTINUED(s)}]"
call::Wait wait_report(int child, std::string_view status)
{
    call::Wait w{.child = child};
    if (auto code = word_after(status, "WEXITSTATUS(s) == "); !code.empty())
        w.status = ProcessEnd{.status = int(number_or(code, 0))};
    else if (auto killer = word_after(status, "WTERMSIG(s) == "); !killer.empty())
        w.status = ProcessEnd{.killed = true, .signal = std::string(killer)};
    else if (auto stopper = word_after(status, "WSTOPSIG(s) == "); !stopper.empty())
        w = {.child = child,
             .change = call::Wait::Change::stopped,
             .stop_signal = std::string(stopper)};
    else if (status.find("WIFCONTINUED") != std::string_view::npos)
        w.change = call::Wait::Change::continued;
    return w;
}

// waitid's report: "{si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=7, si_uid=0, si_status=3}"
call::Wait waitid_report(std::string_view info)
{
    call::Wait w{.child = int(number_or(word_after(info, "si_pid="), 0))};
    std::string_view code = word_after(info, "si_code=");
    std::string_view status = word_after(info, "si_status=");
    if (code == "CLD_EXITED")
        w.status = ProcessEnd{.status = int(number_or(status, 0))};
    else if (code == "CLD_KILLED" || code == "CLD_DUMPED")
        w.status = ProcessEnd{.killed = true, .signal = std::string(status)};
    else if (code == "CLD_STOPPED" || code == "CLD_TRAPPED")
        w = {.child = w.child,
             .change = call::Wait::Change::stopped,
             .stop_signal = std::string(status)};
    else if (code == "CLD_CONTINUED")
        w.change = call::Wait::Change::continued;
    return w;
}

// What a call's decoder gets: its parts as written.
struct Parts {
    std::vector<std::string_view> args;
    std::string_view result;
    const Call& call;

    std::string_view arg(size_t i) const { return i < args.size() ? args[i] : std::string_view(); }
    bool failed() const { return call.finished && !call.error.empty(); }
};

using Decoded = std::optional<CallArgs>;

// The decoders, one per shape of arguments. Each returns nothing when the
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
    if (!p.call.finished || p.call.value <= 0)
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
    if (IsWaitid)
        return waitid_report(p.arg(2));
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
    if (!starts_with(p.arg(PathArg + 1), "S_IFIFO"))
        return std::nullopt;
    std::string path = unquote(p.arg(PathArg));
    if (path.empty())
        return std::nullopt;
    return call::MakeFifo{.path = PathArg == 0 ? path : resolve(p.arg(0), path)};
}

template <size_t PathArg> Decoded open(const Parts& p)
{
    call::Open open{.path = unquote(p.arg(PathArg)), .access = access_of(p.arg(PathArg + 1))};
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
    call::FdPair fds;
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
    return call::Dup{.result = *result};
}

// socket(...) = 4<UNIX-STREAM:[7]>, accept(...) = 5<...>, eventfd2(0, 0) = 3<...>
template <bool Accepted> Decoded new_fd(const Parts& p)
{
    auto result = parse_descriptor(p.result);
    if (!result || p.failed() || (Accepted && !p.call.fd))
        return std::nullopt;
    return call::NewFd{.result = *result, .accepted = Accepted};
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

template <bool IsRead> Decoded transfer(const Parts& p)
{
    if (!p.call.fd || p.failed())
        return std::nullopt;
    return call::Transfer{.is_read = IsRead, .data = unquote(p.arg(1), kDataKept)};
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

struct Decoder {
    std::string_view name;
    Decoded (*decode)(const Parts&);
};

// Every call whose arguments the reader decodes. A call not listed here
// reaches the model as Unknown, written as strace wrote it.
constexpr Decoder kDecoders[] = {
    {"accept", new_fd<true>},
    {"accept4", new_fd<true>},
    {"bind", socket_address<call::SocketAddress::Verb::bind>},
    {"clock_nanosleep", sleep<2>},
    {"clone", spawn},
    {"clone3", spawn},
    {"close", close},
    {"connect", socket_address<call::SocketAddress::Verb::connect>},
    {"dup", dup},
    {"dup2", dup},
    {"dup3", dup},
    {"eventfd", new_fd<false>},
    {"eventfd2", new_fd<false>},
    {"execve", exec<0>},
    {"execveat", exec<1>},
    {"exit", exit},
    {"exit_group", exit},
    {"fork", spawn},
    {"fstat", stat},
    {"ioctl", ioctl},
    {"kill", kill},
    {"listen", socket_address<call::SocketAddress::Verb::listen>},
    {"mknod", mknod<0>},
    {"mknodat", mknod<1>},
    {"nanosleep", sleep<0>},
    {"newfstatat", stat},
    {"open", open<0>},
    {"openat", open<1>},
    {"pipe", pipe<0>},
    {"pipe2", pipe<0>},
    {"pread64", transfer<true>},
    {"pwrite64", transfer<false>},
    {"read", transfer<true>},
    {"recvfrom", transfer<true>},
    {"restart_syscall", restart},
    {"sendto", transfer<false>},
    {"signalfd4", new_fd<false>},
    {"socket", new_fd<false>},
    {"socketpair", pipe<3>},
    {"statx", stat},
    {"tgkill", kill},
    {"tkill", kill},
    {"vfork", spawn},
    {"wait4", wait<false>},
    {"waitid", wait<true>},
    {"waitpid", wait<false>},
    {"write", transfer<false>},
};

const Decoder* decoder_for(std::string_view name)
{
    // A trace repeats its calls: the last one asked is asked again.
    thread_local std::string_view last_name;
    thread_local const Decoder* last = nullptr;
    if (name == last_name)
        return last;
    auto it = std::lower_bound(std::begin(kDecoders), std::end(kDecoders), name,
                               [](const Decoder& d, std::string_view n) { return d.name < n; });
    last = it != std::end(kDecoders) && it->name == name ? &*it : nullptr;
    last_name = last ? last->name : std::string_view();
    return last;
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
    if (starts_with(number, "0x"))
        call.value = std::strtoll(std::string(number.substr(0, 20)).c_str(), nullptr, 16);
    else if (auto n = leading_number(number))
        call.value = *n;
    else if (starts_with(number, "?"))
        number.remove_prefix(1);
    skip_blanks(number);
    if (!number.empty() && number.front() == 'E' && (call.value == -1 || starts_with(result, "?")))
        call.error = std::string(number.substr(0, number.find(' ')));
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
    size_t open = text.find('(');
    if (open == std::string_view::npos || open == 0)
        return std::nullopt;
    Call call;
    for (char c : text.substr(0, open))
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
              c == '_' || c == '?'))
            return std::nullopt;
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
        call.finished = starts_with(result, "= ");
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
    const Decoder* decoder = decoder_for(call.name);
    Decoded decoded = decoder ? decoder->decode(Parts{args, result, call}) : std::nullopt;
    if (decoded)
        call.args = std::move(*decoded);
    else
        call.args = call::Unknown{as_written(call, args, result)};
    if (start_only && std::holds_alternative<call::Transfer>(call.args))
        call.value = number_or(args.size() == 3 ? args[2] : std::string_view(), 0);
    return call;
}

bool counts_from_start(const Call& call)
{
    if (const auto* transfer = std::get_if<call::Transfer>(&call.args))
        return !transfer->is_read;
    return std::holds_alternative<call::Sleep>(call.args);
}

std::vector<std::string_view> split_args(std::string_view text)
{
    std::vector<std::string_view> args;
    split_args(text, args);
    return args;
}

size_t split_args(std::string_view text, std::vector<std::string_view>& args, char end)
{
    args.clear();
    size_t start = 0;
    size_t stop = find_top_level(text, [&](size_t i, char c) {
        if (c == ',') {
            args.push_back(text.substr(start, i - start));
            start = i + 1;
            while (start < text.size() && text[start] == ' ')
                ++start;
        }
        return end != '\0' && c == end;
    });
    std::string_view last = text.substr(
        std::min(start, text.size()),
        stop == std::string_view::npos ? std::string_view::npos : stop - std::min(start, stop));
    while (!last.empty() && last.back() == ' ')
        last.remove_suffix(1);
    if (!last.empty() || !args.empty())
        args.push_back(last);
    return stop;
}

std::string unquote(std::string_view text, size_t limit)
{
    std::string bytes;
    if (text.empty() || text.front() != '"')
        return bytes;
    for (size_t i = 1; i < text.size() && text[i] != '"' && bytes.size() < limit; ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            bytes += escaped(text, ++i);
        else
            bytes += text[i];
    }
    return bytes;
}

std::optional<Fd> parse_descriptor(std::string_view text)
{
    Fd fd;
    auto number = leading_number(text);
    if (!number)
        return std::nullopt;
    fd.number = int(*number);
    if (text.empty())
        return fd;
    if (text.size() < 2 || text.front() != '<' || text.back() != '>')
        return std::nullopt;
    std::string_view target = text.substr(1, text.size() - 2);
    // -yy adds a device's numbers to its path: "/dev/null<char 1:3>".
    if (size_t device = target.rfind('<'); device != std::string_view::npos && device > 0 &&
                                           target.back() == '>' && target.front() == '/')
        target = target.substr(0, device);
    fd.target.name = unescape_target(target);
    fd.target.kind = target.empty()                 ? Target::Kind::unknown
                     : starts_with(target, "/")     ? Target::Kind::path
                     : starts_with(target, "pipe:") ? Target::Kind::pipe
                                                    : Target::Kind::other;
    return fd;
}

std::optional<double> seconds(std::string_view text)
{
    // Digits and one point: up to 15 digits make an integer that a double
    // holds exactly, and its division by a power of ten rounds as a
    // decimal conversion would, at a fraction of the cost.
    long long digits = 0;
    int count = 0;
    int after_point = -1;
    for (char c : text) {
        if (c == '.' && after_point < 0) {
            after_point = 0;
        } else if (c >= '0' && c <= '9' && count < 15) {
            digits = digits * 10 + (c - '0');
            ++count;
            after_point += after_point >= 0 ? 1 : 0;
        } else {
            count = 16; // anything else: the general way
            break;
        }
    }
    constexpr double kPowers[] = {1,   1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (count > 0 && count <= 15)
        return double(digits) / kPowers[std::max(after_point, 0)];
    double value = 0;
    auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<long long> leading_number(std::string_view& s)
{
    // The common case, a short number, read here; anything longer (that
    // might overflow) by from_chars.
    size_t sign = !s.empty() && s.front() == '-' ? 1 : 0;
    size_t digits_end = sign;
    long long fast = 0;
    while (digits_end < s.size() && digits_end - sign < 18 && s[digits_end] >= '0' &&
           s[digits_end] <= '9')
        fast = fast * 10 + (s[digits_end++] - '0');
    if (digits_end > sign &&
        (digits_end == s.size() || s[digits_end] < '0' || s[digits_end] > '9')) {
        s.remove_prefix(digits_end);
        return sign ? -fast : fast;
    }
    long long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data())
        return std::nullopt;
    s.remove_prefix(size_t(end - s.data()));
    return value;
}

} // namespace timeline::strace
