#include "reader/strace_syntax.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/paths.hpp"

namespace timeline::strace {

void skip_blanks(std::string_view& s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
}

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
    fd.target.kind = target.empty()                ? Target::Kind::unknown
                     : target.starts_with("/")     ? Target::Kind::path
                     : target.starts_with("pipe:") ? Target::Kind::pipe
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

std::optional<decltype(Event::what)> process_end(std::string_view what)
{
    if (what.starts_with("exited with ")) {
        what.remove_prefix(12);
        return Exited{int(leading_number(what).value_or(0))};
    }
    if (what.starts_with("killed by ")) {
        what.remove_prefix(10);
        return Killed{std::string(what.substr(0, what.find(' ')))};
    }
    return std::nullopt;
}

Signal signal(std::string_view what)
{
    Signal s{.name = std::string(what.substr(0, what.find(' ')))};
    size_t at = what.find("si_pid=");
    if (at != std::string_view::npos) {
        std::string_view pid = what.substr(at + 7);
        s.sender = int(leading_number(pid).value_or(0));
    }
    at = what.find("si_code=");
    if (at != std::string_view::npos) {
        std::string_view code = what.substr(at + 8);
        s.code = std::string(code.substr(0, code.find_first_of(",}")));
    }
    return s;
}

bool shared_library(std::string_view object)
{
    std::string_view name = base_name(object);
    return name.ends_with(".so") || name.find(".so.") != std::string_view::npos ||
           object.starts_with("[");
}

std::optional<Frame> frame(std::string_view text)
{
    size_t open = text.rfind(" [0x");
    if (open == std::string_view::npos || text.back() != ']')
        return std::nullopt;
    std::string_view hex = text.substr(open + 4, text.size() - open - 5);
    unsigned long long offset = 0;
    auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), offset, 16);
    if (error != std::errc() || end != hex.data() + hex.size())
        return std::nullopt;
    std::string_view object = text.substr(0, std::min(text.find('('), open));
    return Frame{std::string(object), offset};
}

} // namespace timeline::strace
