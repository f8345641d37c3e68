// The plumbing of a run at the moments that change it: each process's
// descriptor table (what every descriptor points at, which end of a pipe
// it holds), as a textbook draws it, before and after a pipe is made, a
// fork, the closes, an exec, a process's end. The model records it; a
// renderer draws each moment as a figure.
#pragma once

#include <string>
#include <vector>

#include "step.hpp"

namespace timeline {

// What changed the plumbing.
enum class PlumbingChange { pipe, fork, close, dup, exec, open, end, collect };

struct TableEntry {
    int fd = -1;
    std::string what; // "pipe A", "the terminal", "FIFOVEK"; empty: inherited, not seen
    bool carries_data = false; // a pipe, a FIFO, a socket: drawn as an object
    End end = End::unknown;
};

struct ProcessTable {
    int pid = 0;
    std::string program; // what it runs now
    bool zombie = false; // ended, not yet collected
    std::vector<TableEntry> fds; // 0, 1, 2 always, then in order
};

struct PlumbingMoment {
    PlumbingChange change = PlumbingChange::pipe;
    int count = 1; // changes of this kind in a row, grouped
    size_t step = 0; // the last of them
    int pid = 0; // who made the last of them
    std::vector<ProcessTable> processes; // alive or zombie, in order of appearance
};

} // namespace timeline
