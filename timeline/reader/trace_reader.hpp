// Reads what `strace -f -ttt -T -y` writes, one finished step at a time,
// and decodes each call's arguments (descriptors and their targets, paths,
// data, statuses, signals). Only this reader and its .cpp know strace's
// text format; the rest of the tool sees Events.
#pragma once

#include <deque>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "reader/event.hpp"

namespace timeline {

// A line that strace would not have written.
struct TraceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class TraceReader {
public:
    // `source` names the input in messages ("trace.txt"). `pid`: the
    // process a trace of one process belongs to (strace -ff writes one
    // file per process, its lines without the pid); 0 when each line
    // carries its pid. `file`: which of the traces read together this is,
    // as each event's lines say.
    TraceReader(std::istream& in, std::string source, int pid = 0, int file = 0);

    // The next finished step, or nothing at the end of the input. At the
    // end, the calls that were still going on come out unfinished. Throws
    // TraceError when the input is empty or a line is not strace's.
    std::optional<Event> next();
    // The same into `out`; whether there was one.
    bool next(Event& out);

private:
    // A call whose line another process's line cut: its start, waiting for
    // its "resumed" end. Empty when the call was told at its start.
    struct Pending {
        double time;
        std::string start;
        bool told = false;
        long line = 0;
    };

    // The next line, without its newline, or nothing at the end; a view
    // into the buffer, good until the next call.
    std::optional<std::string_view> next_line();
    // The next event the lines make, into `out`; false at the end of the
    // input.
    bool read_event(Event& out);
    bool unfinished_at_end(Event& out);
    std::pair<int, double> prefix(std::string_view line, std::string_view& rest) const;
    // Whether the line makes an event, which it writes into `e`.
    bool parse(std::string_view line, Event& e);
    bool unfinished(int pid, double time, std::string_view start, Event& e);
    // A spawn that never returned ("= ?": its new thread's exec ended the
    // caller first, or it was killed in the call) made the one process
    // whose steps waited for it; with none or several waiting, it names no
    // child and is told as strace wrote it.
    void settle_unreturned(Call& call) const
    {
        if (!call.no_return || !std::holds_alternative<call::Spawn>(call.args))
            return;
        if (held_.size() == 1)
            call.value = held_.begin()->first;
        else
            call.args = call::Unknown{call.name + "(...) = ?"};
    }
    bool resumed(int pid, double time, std::string_view rest, Event& e);
    bool superseded(std::string_view by, Event& e);
    void check_targets(const Call& call) const;
    void stack_line(std::string_view text);
    void admit(Event event);
    bool spawn_pending() const;
    [[noreturn]] void fail(std::string_view why) const;
    // The same, quoting the line; out of the way of the lines that are fine.
    [[noreturn, gnu::cold, gnu::noinline]] void fail_on(std::string_view line,
                                                        std::string_view why) const;
    [[noreturn, gnu::cold, gnu::noinline]] void no_prefix(std::string_view line,
                                                          bool has_number) const;

    std::istream& in_;
    // Read in blocks, from a few KB for a short trace up to a quarter of a
    // MB; lines are views into it. Bytes begin_ to end_ are not taken yet.
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool at_end_ = false;
    std::string source_;
    int pid_ = 0;
    int file_ = 0;
    long line_number_ = 0;
    bool any_event_ = false;
    std::map<int, Pending> pending_; // per pid
    // A child's first steps that strace showed before its parent's fork
    // returned, held until it does: a process is born before it acts.
    std::set<int> seen_;
    std::map<int, std::deque<Event>> held_;
    std::deque<Event> ready_; // in the order they are to come out
    // The stack strace -k wrote under the last line, while it is read; it
    // belongs to that line's process.
    static constexpr size_t kFramesKept = 16;
    std::optional<Event> stack_;
    int last_pid_ = 0;
    double last_time_ = 0;
};

} // namespace timeline
