#include "trace_reader.hpp"

#include <cstdlib>

#include "strace_syntax.hpp"

namespace timeline {
namespace {

constexpr std::string_view kUnfinished = " <unfinished ...>";

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// "+++ exited with 0 +++", "+++ killed by SIGKILL (core dumped) +++"
std::optional<decltype(Event::what)> process_end(std::string_view what)
{
    if (starts_with(what, "exited with ")) {
        what.remove_prefix(12);
        return Exited{int(strace::leading_number(what).value_or(0))};
    }
    if (starts_with(what, "killed by ")) {
        what.remove_prefix(10);
        return Killed{std::string(what.substr(0, what.find(' ')))};
    }
    return std::nullopt;
}

// "SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=2995, ...} ---"
Signal signal(std::string_view what)
{
    Signal s{.name = std::string(what.substr(0, what.find(' ')))};
    size_t at = what.find("si_pid=");
    if (at != std::string_view::npos) {
        std::string_view pid = what.substr(at + 7);
        s.sender = int(strace::leading_number(pid).value_or(0));
    }
    return s;
}

} // namespace

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
    while (!pending_.empty()) {
        auto node = pending_.extract(pending_.begin());
        if (node.mapped().told)
            continue;
        auto call = strace::decode_call(node.mapped().start);
        if (!call)
            continue;
        call->finished = false;
        return Event{.pid = node.key(), .time = node.mapped().time, .what = std::move(*call)};
    }
    return std::nullopt;
}

std::optional<Event> TraceReader::parse(std::string_view line)
{
    std::string_view rest = line;
    // "PID  SECONDS.MICRO " as -f and -ttt write them.
    auto pid = strace::leading_number(rest);
    if (!pid || rest.empty() || rest.front() != ' ')
        fail("not an strace log line: " + std::string(line.substr(0, 80)));
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    size_t time_end = rest.find(' ');
    std::string time_text(rest.substr(0, time_end));
    char* end = nullptr;
    double time = std::strtod(time_text.c_str(), &end);
    if (time_end == std::string_view::npos || end == time_text.c_str() || *end != '\0')
        fail("not an strace log line (no time; trace with -ttt): " +
             std::string(line.substr(0, 80)));
    rest.remove_prefix(time_end + 1);
    Event e{.pid = int(*pid), .time = time};

    if (starts_with(rest, "+++ ")) {
        auto how = process_end(rest.substr(4));
        if (!how)
            fail("unknown process end: " + std::string(rest));
        pending_.erase(e.pid);
        e.what = std::move(*how);
        return e;
    }
    if (starts_with(rest, "--- ")) {
        if (starts_with(rest.substr(4), "stopped by "))
            return std::nullopt;
        e.what = signal(rest.substr(4));
        return e;
    }
    if (starts_with(rest, "<... "))
        return resumed(e.pid, time, rest);
    if (ends_with(rest, kUnfinished))
        return unfinished(e.pid, time, rest.substr(0, rest.size() - kUnfinished.size()));

    // "name(args) = result <duration>": it started at its time and ended
    // later.
    auto call = strace::decode_call(rest);
    if (!call)
        fail("not an strace log line: " + std::string(line.substr(0, 80)));
    if (!strace::counts_from_start(*call))
        e.time += call->duration;
    e.what = std::move(*call);
    return e;
}

// "write(4<pipe:[4480]>, "hi", 2 <unfinished ...>": a write or a sleep is
// told now, as it starts; any other call when it ends.
std::optional<Event> TraceReader::unfinished(int pid, double time, std::string_view start)
{
    auto call = strace::decode_call(start, true);
    if (call && strace::counts_from_start(*call)) {
        pending_[pid] = {time, "", true};
        return Event{.pid = pid, .time = time, .what = std::move(*call)};
    }
    pending_[pid] = {time, std::string(start)};
    return std::nullopt;
}

// "<... read resumed>"bytes", 100) = 7 <0.000029>": the end of a call
// whose start is pending for this pid.
std::optional<Event> TraceReader::resumed(int pid, double time, std::string_view rest)
{
    size_t mark = rest.find(" resumed>");
    auto it = pending_.find(pid);
    if (mark == std::string_view::npos || it == pending_.end())
        fail("a call resumed that never started: " + std::string(rest.substr(0, 80)));
    std::string_view tail = rest.substr(mark + 9);
    if (starts_with(tail, kUnfinished)) // ended inside the call: "<unfinished ...>) = ?"
        tail.remove_prefix(kUnfinished.size());
    Pending started = std::move(it->second);
    pending_.erase(it);
    if (started.told)
        return std::nullopt;
    auto call = strace::decode_call(started.start + std::string(tail));
    if (!call)
        fail("not an strace log line: " + std::string(rest.substr(0, 80)));
    return Event{.pid = pid, .time = time, .what = std::move(*call)};
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
