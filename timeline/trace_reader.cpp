#include "trace_reader.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace timeline {
namespace {

constexpr std::string_view kUnfinished = " <unfinished ...>";
// Marks a split call that was told at its start.
constexpr std::string_view kToldAtStart = "\x01told at its start";

// Calls that count from their start: a write's bytes are in the pipe as
// soon as it starts, where a reader may take them before the writer's line
// ends; a sleep is what a process does next, and its length is known.
bool counts_from_start(std::string_view name)
{
    return name == "write" || name == "pwrite64" || name == "nanosleep" ||
           name == "clock_nanosleep";
}

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// Reads a leading decimal integer; nothing when there is none.
std::optional<long long> leading_number(std::string_view& s)
{
    long long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data())
        return std::nullopt;
    s.remove_prefix(size_t(end - s.data()));
    return value;
}

void skip_blanks(std::string_view& s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
}

// The first character of `s` outside quoted strings and brackets for which
// `stop(index, char)` holds; npos when there is none. strace nests ( [ { <
// (a descriptor's path is written in < >) and quotes strings.
template <class Stop> size_t find_top_level(std::string_view s, Stop stop)
{
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}' || c == '>') && depth > 0) {
            --depth;
        } else if (depth == 0 && stop(i, c)) {
            return i;
        }
    }
    return std::string_view::npos;
}

// The position of the ')' that closes the argument list opened just before
// `s`; npos when the line ends first (a call cut short).
size_t closing_paren(std::string_view s)
{
    return find_top_level(s, [](size_t, char c) { return c == ')'; });
}

} // namespace

std::vector<std::string> split_args(std::string_view text)
{
    std::vector<std::string> args;
    size_t start = 0;
    find_top_level(text, [&](size_t i, char c) {
        if (c == ',') {
            args.emplace_back(text.substr(start, i - start));
            start = i + 1;
            while (start < text.size() && text[start] == ' ')
                ++start;
        }
        return false;
    });
    std::string_view last = text.substr(std::min(start, text.size()));
    while (!last.empty() && last.back() == ' ')
        last.remove_suffix(1);
    if (!last.empty() || !args.empty())
        args.emplace_back(last);
    return args;
}

std::string unquote(std::string_view text)
{
    std::string bytes;
    if (text.empty() || text.front() != '"')
        return bytes;
    for (size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            bytes += c;
            continue;
        }
        char e = text[++i];
        switch (e) {
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case 'r':
            bytes += '\r';
            break;
        case 'v':
            bytes += '\v';
            break;
        case 'f':
            bytes += '\f';
            break;
        case 'a':
            bytes += '\a';
            break;
        case 'b':
            bytes += '\b';
            break;
        case 'x': {
            int value = 0;
            int digits = 0;
            while (digits < 2 && i + 1 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                char h = text[++i];
                value = value * 16 + (std::isdigit(static_cast<unsigned char>(h))
                                          ? h - '0'
                                          : (std::tolower(h) - 'a' + 10));
                ++digits;
            }
            bytes += static_cast<char>(value);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int value = e - '0';
                for (int d = 0;
                     d < 2 && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7'; ++d)
                    value = value * 8 + (text[++i] - '0');
                bytes += static_cast<char>(value);
            } else {
                bytes += e; // \\ and \"
            }
        }
    }
    return bytes;
}

std::optional<Descriptor> parse_descriptor(std::string_view text)
{
    Descriptor fd;
    auto number = leading_number(text);
    if (!number)
        return std::nullopt;
    fd.number = int(*number);
    if (starts_with(text, "<") && text.back() == '>')
        fd.target = std::string(text.substr(1, text.size() - 2));
    else if (!text.empty())
        return std::nullopt;
    return fd;
}

TraceReader::TraceReader(std::istream& in, std::string source) : in_(in), source_(std::move(source))
{
}

void TraceReader::fail(std::string_view why) const
{
    throw TraceError(source_ + ":" + std::to_string(line_number_) + ": " + std::string(why));
}

std::optional<Event> TraceReader::next()
{
    std::string line;
    while (std::getline(in_, line)) {
        ++line_number_;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        // A line cut by the end of the trace is parsed for what it has.
        if (auto event = parse(line)) {
            any_event_ = true;
            return event;
        }
    }
    if (!any_event_ && pending_.empty())
        fail(line_number_ == 0 ? "empty: not an strace log"
                               : "no system call in it: not an strace log");
    // Calls still going on when the trace ended.
    std::erase_if(pending_, [](const auto& entry) { return entry.second.text == kToldAtStart; });
    if (!pending_.empty()) {
        auto it = pending_.begin();
        std::string text = it->second.text;
        int pid = it->first;
        double time = it->second.time;
        pending_.erase(it);
        auto event = parse(std::to_string(pid) + " " + std::to_string(time) + " " + text);
        if (event)
            event->finished = false;
        return event;
    }
    return std::nullopt;
}

std::optional<Event> TraceReader::parse(std::string_view line)
{
    Event e;
    std::string_view rest = line;
    // "PID  SECONDS.MICRO " as -f and -ttt write them.
    auto pid = leading_number(rest);
    if (!pid || rest.empty() || rest.front() != ' ')
        fail("not an strace log line: " + std::string(line.substr(0, 80)));
    e.pid = int(*pid);
    skip_blanks(rest);
    size_t time_end = rest.find(' ');
    if (time_end == std::string_view::npos)
        fail("not an strace log line (no time; trace with -ttt): " +
             std::string(line.substr(0, 80)));
    std::string time_text(rest.substr(0, time_end));
    char* end = nullptr;
    e.time = std::strtod(time_text.c_str(), &end);
    if (end == time_text.c_str() || *end != '\0')
        fail("not an strace log line (no time; trace with -ttt): " +
             std::string(line.substr(0, 80)));
    rest.remove_prefix(time_end + 1);

    if (starts_with(rest, "+++ ")) {
        // "+++ exited with 0 +++" or "+++ killed by SIGKILL (core dumped) +++"
        std::string_view what = rest.substr(4);
        if (starts_with(what, "exited with ")) {
            what.remove_prefix(12);
            e.kind = Event::Kind::exited;
            e.status = int(leading_number(what).value_or(0));
        } else if (starts_with(what, "killed by ")) {
            what.remove_prefix(10);
            e.kind = Event::Kind::killed;
            e.name = std::string(what.substr(0, what.find(' ')));
        } else {
            fail("unknown process end: " + std::string(rest));
        }
        pending_.erase(e.pid);
        return e;
    }
    if (starts_with(rest, "--- ")) {
        // "--- SIGCHLD {si_signo=SIGCHLD, ...} ---"; "--- stopped by SIGSTOP ---"
        std::string_view what = rest.substr(4);
        if (starts_with(what, "stopped by "))
            return std::nullopt;
        e.kind = Event::Kind::signal;
        e.name = std::string(what.substr(0, what.find(' ')));
        size_t open = what.find('{');
        size_t close = what.rfind('}');
        if (open != std::string_view::npos && close != std::string_view::npos && close > open)
            e.info = std::string(what.substr(open + 1, close - open - 1));
        return e;
    }

    std::string joined;
    if (starts_with(rest, "<... ")) {
        // "<... read resumed>"bytes", 100) = 7 <0.000029>": the end of a
        // call whose start is pending for this pid.
        size_t mark = rest.find(" resumed>");
        auto it = pending_.find(e.pid);
        if (mark == std::string_view::npos || it == pending_.end())
            fail("a call resumed that never started: " + std::string(rest.substr(0, 80)));
        std::string_view tail = rest.substr(mark + 9);
        if (starts_with(tail, kUnfinished)) // ended inside the call: "<unfinished ...>) = ?"
            tail.remove_prefix(kUnfinished.size());
        if (it->second.text == kToldAtStart) {
            pending_.erase(it);
            return std::nullopt;
        }
        joined = it->second.text + std::string(tail);
        pending_.erase(it);
        rest = joined;
    } else if (rest.size() >= kUnfinished.size() &&
               rest.substr(rest.size() - kUnfinished.size()) == kUnfinished) {
        std::string start(rest.substr(0, rest.size() - kUnfinished.size()));
        if (!counts_from_start(start.substr(0, start.find('(')))) {
            pending_[e.pid] = {e.time, std::move(start)};
            return std::nullopt;
        }
        // Told at its start, as if it had done what it asked (a write of
        // its whole count); its end line is then dropped.
        pending_[e.pid] = {e.time, std::string(kToldAtStart)};
        auto call = parse(std::to_string(e.pid) + " " + std::to_string(e.time) + " " + start);
        call->finished = true;
        if (call->name[0] != 'w' && call->name[1] != 'w')
            call->value = 0;
        else
            call->value = std::atoll(call->args.size() == 3 ? call->args[2].c_str() : "0");
        return call;
    }

    // "name(args) = result <duration>"
    size_t open = rest.find('(');
    if (open == std::string_view::npos || open == 0)
        fail("not an strace log line: " + std::string(line.substr(0, 80)));
    e.name = std::string(rest.substr(0, open));
    for (char c : e.name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '?')
            fail("not an strace log line: " + std::string(line.substr(0, 80)));
    std::string_view after = rest.substr(open + 1);
    size_t close = closing_paren(after);
    if (close == std::string_view::npos) {
        // The trace ends in the middle of this call.
        e.finished = false;
        e.args = split_args(after);
        return e;
    }
    e.args = split_args(after.substr(0, close));
    std::string_view result = after.substr(close + 1);
    skip_blanks(result);
    if (!starts_with(result, "= ")) {
        e.finished = false;
        return e;
    }
    result.remove_prefix(2);
    // The duration, from -T, closes the line: " <0.000123>".
    if (!result.empty() && result.back() == '>') {
        size_t lt = result.rfind(" <");
        if (lt != std::string_view::npos) {
            std::string dur(result.substr(lt + 2, result.size() - lt - 3));
            char* dur_end = nullptr;
            double seconds = std::strtod(dur.c_str(), &dur_end);
            if (dur_end != dur.c_str() && *dur_end == '\0') {
                e.duration = seconds;
                result = result.substr(0, lt);
            }
        }
    }
    e.result = std::string(result);
    std::string_view number = result;
    if (starts_with(number, "0x")) {
        e.value = std::strtoll(std::string(number).c_str(), nullptr, 16);
    } else if (auto n = leading_number(number)) {
        e.value = *n;
    } else if (starts_with(number, "?")) {
        number.remove_prefix(1);
        e.value = 0;
    }
    skip_blanks(number);
    if (!number.empty() && number.front() == 'E' && (e.value == -1 || starts_with(result, "?")))
        e.error = std::string(number.substr(0, number.find(' ')));
    // A call written on one line started at its time and ended later.
    if (joined.empty() && !counts_from_start(e.name))
        e.time += e.duration;
    return e;
}

void MergedTraces::add(std::unique_ptr<std::istream> in, std::string source)
{
    Input input;
    input.stream = std::move(in);
    input.reader = std::make_unique<TraceReader>(*input.stream, std::move(source));
    input.ahead = input.reader->next();
    inputs_.push_back(std::move(input));
}

std::optional<Event> MergedTraces::next()
{
    Input* earliest = nullptr;
    for (auto& input : inputs_)
        if (input.ahead && (!earliest || input.ahead->time < earliest->ahead->time))
            earliest = &input;
    if (!earliest)
        return std::nullopt;
    std::optional<Event> event = std::move(earliest->ahead);
    earliest->ahead = earliest->reader->next();
    return event;
}

} // namespace timeline
