// The family in words, as the timeline says things: each process's state
// (sleeping in read on pipe A, waiting for a child, a zombie for 2.1 s),
// its descriptors, what changed last, and the pipes between the processes
// with who holds each end and what follows from it.
#pragma once

#include <string>
#include <vector>

#include "family.hpp"

namespace family {

// ", read end", ", write end", ", both ends" for a pipe or a FIFO; "".
std::string end_of(const FdEntry& fd);
std::string state_words(Family& family, const Member& m, double now);

struct Line {
    std::string text;
    bool gone = false; // a process that ended and was collected
    bool heading = false;
};
// The whole snapshot, line by line: the tree, then the pipes.
std::vector<Line> snapshot(Family& family, double now, const std::string& how);

} // namespace family
