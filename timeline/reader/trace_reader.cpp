#include "reader/trace_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

#include "base/paths.hpp"
#include "base/safe_text.hpp"
#include "reader/decoders.hpp"
#include "reader/strace_syntax.hpp"

namespace timeline {

constexpr std::string_view kUnfinished = " <unfinished ...>"; // const: this file's own

TraceReader::TraceReader(std::istream& in, std::string source, int pid, int file)
    : in_(in), source_(std::move(source)), pid_(pid), file_(file)
{
}

void TraceReader::fail(std::string_view why) const
{
    throw TraceError(source_ + ":" + std::to_string(line_number_) + ": " + std::string(why));
}

std::optional<std::string_view> TraceReader::next_line()
{
    constexpr size_t kFirstBlock = size_t(1) << 12;
    constexpr size_t kLargestBlock = size_t(1) << 18;
    for (;;) {
        std::string_view rest(buffer_.get() + begin_, end_ - begin_);
        size_t newline = rest.find('\n');
        if (newline != std::string_view::npos) {
            begin_ += newline + 1;
            return rest.substr(0, newline);
        }
        if (at_end_) {
            // The last line may lack its newline.
            begin_ = end_;
            return rest.empty() ? std::nullopt : std::optional(rest);
        }
        // Keep the part line at the front, and room for a block after it:
        // the buffer doubles until it is large, or until it holds the line.
        if (!rest.empty())
            std::memmove(buffer_.get(), rest.data(), rest.size());
        begin_ = 0;
        end_ = rest.size();
        if (capacity_ - end_ < std::min(capacity_, kLargestBlock) / 2 ||
            capacity_ < kLargestBlock) {
            size_t grown = std::max(kFirstBlock, capacity_ * 2);
            auto bigger = std::make_unique_for_overwrite<char[]>(grown);
            if (end_ > 0)
                std::memcpy(bigger.get(), buffer_.get(), end_);
            buffer_ = std::move(bigger);
            capacity_ = grown;
        }
        size_t room = capacity_ - end_;
        in_.read(buffer_.get() + end_, std::streamsize(room));
        end_ += size_t(in_.gcount());
        at_end_ = size_t(in_.gcount()) < room;
    }
}

// A line of strace -k's stack under the call before it: the frames in the
// program's own code are kept, and come out as one event after the call's.
void TraceReader::stack_line(std::string_view text)
{
    if (last_pid_ == 0 && !stack_)
        fail("a stack trace before any call: not an strace log");
    bool first = !stack_;
    if (!stack_)
        stack_ = Event{.pid = last_pid_, .time = last_time_, .what = CodeAt{}};
    // strace says where it could unwind no further: the frames so far are
    // all there is.
    if (text.starts_with("unexpected_backtracing_error")) {
        std::get<CodeAt>(stack_->what).unwound = false;
        return;
    }
    auto f = strace::frame(text);
    // The last line of a trace cut short may be half a frame: the call
    // keeps what came whole.
    bool cut = at_end_ && begin_ == end_ && (end_ == 0 || buffer_[end_ - 1] != '\n');
    if (!f && cut)
        return;
    if (!f)
        fail("not a frame of a stack trace: " + printable(text.substr(0, 80)));
    auto& code = std::get<CodeAt>(stack_->what);
    bool library = strace::shared_library(f->object);
    if (first)
        code.in_library = library;
    if (!library && code.frames.size() < kFramesKept)
        code.frames.push_back(std::move(*f));
}

std::optional<Event> TraceReader::next()
{
    Event event;
    if (!next(event))
        return std::nullopt;
    return event;
}

bool TraceReader::next(Event& out)
{
    while (ready_.empty()) {
        if (!read_event(out))
            break;
        // The usual case, a process already known and nobody's steps
        // held: straight out.
        if (held_.empty() && seen_.count(out.pid) != 0) {
            auto* call = std::get_if<Call>(&out.what);
            if (call)
                settle_unreturned(*call);
            if (call && std::holds_alternative<call::Spawn>(call->args) && call->value > 0)
                seen_.insert(int(call->value));
            return true;
        }
        admit(std::move(out));
    }
    if (ready_.empty()) {
        // Held steps whose parent's fork never returned come out as they are.
        for (auto& [pid, events] : held_)
            std::move(events.begin(), events.end(), std::back_inserter(ready_));
        held_.clear();
    }
    if (!ready_.empty()) {
        out = std::move(ready_.front());
        ready_.pop_front();
        return true;
    }
    return unfinished_at_end(out);
}

bool TraceReader::read_event(Event& out)
{
    for (;;) {
        auto next = next_line();
        if (!next && !stack_)
            return false;
        std::string_view line = next.value_or("");
        ++line_number_;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.starts_with(" > ")) {
            stack_line(line.substr(3));
            continue;
        }
        if (stack_) {
            // The stack is whole: it comes out first, and the line after
            // it is read again.
            if (next)
                begin_ = size_t(next->data() - buffer_.get());
            --line_number_;
            out = std::move(*stack_);
            stack_.reset();
            any_event_ = true;
            return true;
        }
        // A line cut by the end of the trace is parsed for what it has.
        if (!line.empty() && parse(line, out)) {
            last_time_ = out.time;
            any_event_ = true;
            return true;
        }
    }
}

// The calls still going on when the trace ended, one at a time.
bool TraceReader::unfinished_at_end(Event& out)
{
    if (!any_event_ && pending_.empty())
        fail(line_number_ == 0 ? "empty: not an strace log"
                               : "no system call in it: not an strace log");
    while (!pending_.empty()) {
        auto node = pending_.extract(pending_.begin());
        if (node.mapped().told)
            continue;
        out.pid = node.key();
        out.time = node.mapped().time;
        out.from = {file_, node.mapped().line, node.mapped().line};
        Call& call = out.what.emplace<Call>();
        if (!strace::decode_call(node.mapped().start, call))
            continue;
        call.finished = false;
        call.began = node.mapped().time;
        return true;
    }
    return false;
}

// Whether a fork, vfork or clone has started and not yet returned.
bool TraceReader::spawn_pending() const
{
    return std::any_of(pending_.begin(), pending_.end(), [](const auto& entry) {
        std::string_view start = entry.second.start;
        return strace::starts_process(start.substr(0, start.find('(')));
    });
}

// A step of a process not seen before, while a fork is going on, is its
// child's: it waits until the fork returns, and comes out after it, the
// fork placed at the child's first step.
void TraceReader::admit(Event event)
{
    if (!seen_.count(event.pid) && !held_.count(event.pid) && seen_.empty())
        seen_.insert(event.pid); // the traced program itself
    if (!seen_.count(event.pid) && (held_.count(event.pid) || spawn_pending())) {
        held_[event.pid].push_back(std::move(event));
        return;
    }
    seen_.insert(event.pid);
    auto* call = std::get_if<Call>(&event.what);
    if (call)
        settle_unreturned(*call);
    int child = call && std::holds_alternative<call::Spawn>(call->args) ? int(call->value) : 0;
    ready_.push_back(std::move(event));
    if (child <= 0)
        return;
    seen_.insert(child);
    auto held = held_.find(child);
    if (held == held_.end())
        return;
    ready_.back().time = std::min(ready_.back().time, held->second.front().time);
    // Its events follow its birth, admitted again: a grandchild's come with its fork.
    auto waiting = std::move(held->second);
    held_.erase(held);
    for (Event& e : waiting)
        admit(std::move(e));
}

// "PID  SECONDS.MICRO " as -f and -ttt write them; -ff leaves out the pid,
// which the file's name gives. Returns the pid and the time, and leaves
// `rest` on what follows them.
std::pair<int, double> TraceReader::prefix(std::string_view line, std::string_view& rest) const
{
    std::string_view after = line;
    auto number = strace::leading_number(after);
    int pid = pid_;
    if (number && !after.empty() && after.front() == ' ')
        pid = int(*number);
    else if (pid_ != 0)
        after = line;
    else
        no_prefix(line, number.has_value());
    while (!after.empty() && after.front() == ' ')
        after.remove_prefix(1);
    size_t time_end = after.find(' ');
    auto time = strace::seconds(after.substr(0, time_end));
    if (time_end == std::string_view::npos || !time)
        fail_on(line, "not an strace log line (no time; trace with -ttt): ");
    after.remove_prefix(time_end + 1);
    rest = after;
    return {pid, *time};
}

// Which flag a line without a pid lacks.
void TraceReader::no_prefix(std::string_view line, bool has_number) const
{
    if (has_number)
        fail_on(line, "not an strace log line (no pid; trace with -f): ");
    if (strace::decode_call(line))
        fail_on(line, "not an strace log line (no pid and no time; trace with -f -ttt): ");
    fail_on(line, "not an strace log line: ");
}

void TraceReader::fail_on(std::string_view line, std::string_view why) const
{
    fail(std::string(why) + printable(line.substr(0, 80)));
}

// "+++ superseded by execve in pid 7 +++" under the leader's pid: thread 7
// called execve, and lives on as the process's leader, under whose pid
// its execve returns. The leader's own call (if any) ends here; the
// thread's id is gone.
bool TraceReader::superseded(std::string_view by, Event& e)
{
    pending_.erase(e.pid);
    if (!by.starts_with(" in pid "))
        return false;
    by.remove_prefix(8);
    auto thread = strace::leading_number(by);
    if (!thread || *thread == e.pid)
        return false;
    if (auto started = pending_.extract(int(*thread)))
        pending_.insert({e.pid, std::move(started.mapped())});
    e.what = Superseded{.leader = e.pid};
    e.pid = int(*thread);
    return true;
}

bool TraceReader::parse(std::string_view line, Event& e)
{
    if (line.find('\0') != std::string_view::npos)
        fail("binary data: not an strace log");
    std::string_view rest;
    auto [pid, time] = prefix(line, rest);
    last_pid_ = pid;
    last_time_ = time;
    e.pid = pid;
    e.time = time;
    e.from = {file_, line_number_, line_number_};
    if (rest.empty())
        fail("not an strace log line: " + printable(line.substr(0, 80)));
    char first = rest.front();

    if (first == '+' && rest.starts_with("+++ superseded by execve"))
        return superseded(rest.substr(24), e);
    if (first == '+' && rest.starts_with("+++ ")) {
        auto how = strace::process_end(rest.substr(4));
        if (!how)
            fail("unknown process end: " + printable(rest.substr(0, 80)));
        pending_.erase(e.pid);
        e.what = std::move(*how);
        return true;
    }
    if (first == '-' && rest.starts_with("--- ")) {
        if (std::string_view stop = rest.substr(4); stop.starts_with("stopped by ")) {
            stop.remove_prefix(11);
            e.what = Stopped{std::string(stop.substr(0, stop.find(' ')))};
            return true;
        }
        e.what = strace::signal(rest.substr(4));
        return true;
    }
    if (first == '<' && rest.starts_with("<... "))
        return resumed(e.pid, time, rest, e);
    if (rest.back() == '>' && rest.ends_with(kUnfinished))
        return unfinished(e.pid, time, rest.substr(0, rest.size() - kUnfinished.size()), e);

    // "name(args) = result <duration>": it started at its time and ended
    // later. Decoded in place: a million lines, no copy of each.
    Call& call = e.what.emplace<Call>();
    if (!strace::decode_call(rest, call))
        fail("not an strace log line: " + printable(line.substr(0, 80)));
    check_targets(call);
    call.began = time;
    if (!strace::counts_from_start(call))
        e.time += call.duration;
    return true;
}

// "write(4<pipe:[4480]>, "hi", 2 <unfinished ...>": a write or a sleep is
// told now, as it starts; any other call when it ends.
bool TraceReader::unfinished(int pid, double time, std::string_view start, Event& e)
{
    auto call = strace::decode_call(start, true);
    if (call && strace::counts_from_start(*call)) {
        call->began = time;
        call->told_at_start = true;
        pending_[pid] = {time, std::string(start), true, line_number_};
        e.what = std::move(*call);
        return true;
    }
    pending_[pid] = {time, std::string(start), false, line_number_};
    return false;
}

// "<... read resumed>"bytes", 100) = 7 <0.000029>": the end of a call
// whose start is pending for this pid.
bool TraceReader::resumed(int pid, double time, std::string_view rest, Event& e)
{
    size_t mark = rest.find(" resumed>");
    auto it = pending_.find(pid);
    if (mark == std::string_view::npos || it == pending_.end())
        fail("a call resumed that never started: " + printable(rest.substr(0, 80)));
    std::string_view tail = rest.substr(mark + 9);
    if (tail.starts_with(kUnfinished)) // ended inside the call: "<unfinished ...>) = ?"
        tail.remove_prefix(kUnfinished.size());
    Pending started = std::move(it->second);
    pending_.erase(it);
    Call& call = e.what.emplace<Call>();
    if (!strace::decode_call(started.start + std::string(tail), call))
        fail("not an strace log line: " + printable(rest.substr(0, 80)));
    // A call told as it started comes again as its end: the step it made
    // learns how long it took, and whether it failed or was interrupted (a
    // sleep that a signal interrupted goes on in restart_syscall).
    call.corrects_start = started.told;
    call.began = started.time;
    e.pid = pid;
    e.time = time;
    e.from.first = started.line;
    return true;
}

// Without -y a descriptor comes without what it points at, and the model
// could name no pipe and no file: a call on an open descriptor that worked
// always has its target with -y.
void TraceReader::check_targets(const Call& call) const
{
    bool on_descriptor = std::holds_alternative<call::Transfer>(call.args) ||
                         std::holds_alternative<call::Close>(call.args);
    if (on_descriptor && call.finished && call.error.empty() && call.fd && call.fd->number >= 0 &&
        call.fd->target.kind == Target::Kind::unknown)
        fail("trace with -y: descriptors have no targets");
}

} // namespace timeline
