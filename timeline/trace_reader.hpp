// Reads what `strace -f -ttt -T -y` writes, one finished step at a time.
// All knowledge of strace's text format is here: the rest of the tool sees
// only Events.
#pragma once

#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace timeline {

// One step of one process: a system call (joined again when another
// process's line came between its start and its end), a signal delivered
// to it, or its end.
struct Event {
    enum class Kind { call, signal, exited, killed };
    Kind kind = Kind::call;
    int pid = 0;
    double time = 0; // when the step was over, in seconds since the epoch
    double duration = 0; // time spent inside the call, or 0 when not known
    std::string name; // the system call, or the signal ("SIGCHLD")
    std::vector<std::string> args; // the call's arguments as strace wrote them
    std::string result; // what the call returned, as written ("3</tmp/x>", "-1 ENOENT (...)")
    long long value = 0; // the result as a number; -1 for a failed call
    std::string error; // for a failed or interrupted call: "ENOENT", "ERESTARTSYS"...
    bool finished = true; // false: the trace ended while the process was in the call
    int status = 0; // exited: its status
    std::string info; // signal: the siginfo text between the braces
};

// A line that strace would not have written.
struct TraceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class TraceReader {
public:
    // `source` names the input in messages ("trace.txt").
    TraceReader(std::istream& in, std::string source);

    // The next finished step, or nothing at the end of the input. At the
    // end, the calls that were still going on come out unfinished. Throws
    // TraceError when the input is empty or a line is not strace's.
    std::optional<Event> next();

private:
    struct Pending {
        double time;
        std::string text; // the call's start, up to "<unfinished ...>"
    };

    std::optional<Event> parse(std::string_view line);
    [[noreturn]] void fail(std::string_view why) const;

    std::istream& in_;
    std::string source_;
    long line_number_ = 0;
    bool any_event_ = false;
    std::map<int, Pending> pending_; // per pid: the call split by another's line
};

// Several traces of one run (a server and its clients, traced apart) read
// as one: the next event is the earliest of theirs.
class MergedTraces {
public:
    void add(std::unique_ptr<std::istream> in, std::string source);
    std::optional<Event> next();

private:
    struct Input {
        std::unique_ptr<std::istream> stream;
        std::unique_ptr<TraceReader> reader;
        std::optional<Event> ahead;
    };
    std::vector<Input> inputs_;
};

// "a, [b, c], {d=e}" split at its top-level commas.
std::vector<std::string> split_args(std::string_view text);

// The bytes of a quoted strace string ("ab\n\303\255"...), escapes decoded;
// the "..." that marks a cut string is dropped.
std::string unquote(std::string_view text);

// A descriptor as -y writes it: "3</tmp/x/FIFOVEK>", "4<pipe:[4480]>".
struct Descriptor {
    int number = -1;
    std::string target; // "" when strace gave none
};
std::optional<Descriptor> parse_descriptor(std::string_view text);

} // namespace timeline
