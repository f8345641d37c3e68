// Recording a run: a command traced by strace with the one set of options
// that the reader expects, into a file of its own.
#pragma once

#include <string>
#include <vector>

namespace timeline {

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

// A new, empty trace file in `dir`, named in the order of recording after
// the program it traces ("03-send_words.trace"); its path.
std::string new_trace_file(const std::string& dir, const std::string& command);

} // namespace timeline
