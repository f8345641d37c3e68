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
    // A child's line: the column of its branch, the two characters that
    // join it to its parent ("└─"); only blanks come before it.
    int branch = -1;
};
// The whole snapshot, line by line: the tree, then the pipes. Its branches
// are box-drawing characters in UTF-8, or "`-" for a terminal or a file
// that has no such characters.
std::vector<Line> snapshot(Family& family, double now, const std::string& how, bool utf8 = true);

} // namespace family
