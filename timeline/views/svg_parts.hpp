// The parts of the diagram's layout that live in files of their own.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "views/svg_layout.hpp"

namespace timeline::diagram {

// For each round of steps repeated unchanged (at least three times, with
// no other process's step between): after the last step of the round
// kept, the end of the rounds and the words that count them. The rounds
// not kept are marked in `hidden`.
using Folds = std::map<size_t, std::pair<size_t, std::string>>;
Folds folds(const Run& run, size_t shown, std::vector<bool>& hidden);

// A lifeline's stretches (alive, blocked, stopped, a zombie) and what its
// foot says, from the section's rows.
void lay_out_lifeline(Layout& l, const Run& run, const Section& section, Lane& lane);

} // namespace timeline::diagram
