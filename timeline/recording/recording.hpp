// Recording a run: a command traced by strace with the one set of options
// that the reader expects, into a file of its own.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "base/language.hpp"

namespace timeline {

// Why a command cannot be recorded, in words for the user, and the status
// a shell ends with then (127: not found, 126: cannot be run).
struct RecordingError : std::runtime_error {
    RecordingError(const std::string& why, int status) : std::runtime_error(why), status(status) {}
    int status;
};

// Why this machine cannot trace, in words for the user; "" when it can.
std::string tracing_refused();

// The command line that runs `command` under strace and writes its trace
// to `trace`. An `interruptible` strace stops cleanly on SIGTERM or
// SIGINT, its trace holding every event up to then (a recording that
// another program stops); otherwise it goes on until the command ends, as
// a shell's Ctrl-C ends the command and not its tracer. With `lines`, a
// program built with debug information is traced with the stack of each
// call, which tells the line that made it.
std::vector<std::string> strace_command(const std::string& trace,
                                        const std::vector<std::string>& command, bool interruptible,
                                        bool lines = true);

// The program that a command names, searched in PATH as a shell would,
// and whether it can be traced here; throws RecordingError when not.
void check_command(const std::string& name);

// Becomes `argv` (the program searched in PATH); throws RecordingError
// when it cannot.
[[noreturn]] void exec(const std::vector<std::string>& argv);

// Runs the command traced into `trace`; its status as a shell gives it.
// The tool ignores Ctrl-C while it waits, so that Ctrl-C stops the
// command and the timeline of what ran still comes; the child gets the
// default actions back before it starts strace.
int run_traced(const std::string& trace, const std::vector<std::string>& command, bool lines);

// What the user is told when strace stopped following a command after an
// exec from one of its threads (strace 6.1 with stacks).
inline constexpr const char* kCutAfterThreadExec =
    N_("strace stopped following the command after an exec from a thread, where it cannot "
       "unwind the stacks that tell each call's line: the trace ends there; --no-lines traces "
       "it whole");

// A new, empty trace file in `dir` (made, with its parents, when it is not
// there), named in the order of recording after
// the program it traces ("03-send_words.trace"); its path.
std::string new_trace_file(const std::string& dir, const std::string& command);

// Beside a recording's traces, for the book: the command line (`command`)
// and the folder it ran in (`sources`, where its program's sources are
// looked up), each written by the folder's first recording.
void keep_recording_facts(const std::string& dir, const std::vector<std::string>& command);

// A command as a learner would type it in a shell: each word quoted
// ('...') where the shell would otherwise split or read it.
std::string command_line(const std::vector<std::string>& command);

} // namespace timeline
