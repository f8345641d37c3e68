// What the descriptor figure and its caption both say of a table entry.
#pragma once

#include <string>

#include "model/plumbing.hpp"

namespace timeline::plumbing_parts {

std::string process_name(const ProcessTable& p);
// A process as its box in the figure names it: "two_children 4683 (zombie)".
std::string process_title(const ProcessTable& p);
// What an entry points at: "pipe A", "the terminal"; "" when not known.
std::string entry_name(const TableEntry& e);
// "fd 3: pipe A, read end", "fd 1: the terminal", "fd 0: from outside"
std::string entry_text(const TableEntry& e);
// The figure in words, for a reader who cannot see it: what each process
// holds, then the caption.
std::string figure_words(const PlumbingMoment& m);

} // namespace timeline::plumbing_parts
