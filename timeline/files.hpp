// What the command does with files, and how it stops when it cannot: one
// line on standard error, "syscall_timeline: <what>: <reason>", and a
// status that says why.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "reader/merged_traces.hpp"

namespace timeline::files {

[[noreturn]] void fail(const std::string& message, int status = 1);

// An output file that could not be written is known before the command
// runs, not after; a folder for figures is there already, or can be made.
void check_writable(const std::string& path);
void check_folder(const std::string& path);

// Writes a whole file. One cut short (a full disk) is removed, so that
// nothing half written is left looking complete.
void write_file(const std::string& path, const std::string& text);

// DIR/plumbing-01.svg, ...; those an earlier run left beyond these go, so
// that the folder holds one run's figures.
void write_figures(const std::string& dir, const std::vector<std::string>& svgs);

// The traces in these files, merged by time: a folder is refused, a file
// given twice is read once (with a word), and a file that strace -ff named
// after a pid ("run.trace.2994") is that process's.
void open_traces(MergedTraces& traces, const std::vector<std::string>& files);

// The *.trace files of a folder, in the order of their names.
std::vector<std::string> trace_files(const std::filesystem::path& dir);
std::string read_whole(const std::filesystem::path& path);

// Whether a path is a FIFO (for the model: a channel's kind that the
// trace does not tell).
bool is_fifo(const std::string& path);

// What went to standard output must have arrived.
void check_output();

} // namespace timeline::files
