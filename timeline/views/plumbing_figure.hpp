// The descriptor tables at one moment of a run (Run::plumbing()) as a
// textbook draws them, in three columns: each process a box holding its
// table, the open file descriptions its descriptors point at, the objects those are open
// on (pipes with their bytes, FIFOs, files, the terminal), and a caption in
// words made from the tables ("After the closes; pipe A runs from 4282 to
// 4283.").
#pragma once

#include <string>
#include <vector>

#include "model/run.hpp"

namespace timeline {

// One moment as a standalone SVG figure, and the caption it carries.
std::string plumbing_svg(const PlumbingMoment& moment, const std::string& title);
std::string plumbing_caption(const PlumbingMoment& moment);

// The figures of a run, titled: one for each moment whose tables differ
// from an earlier one's; those of the first run only, when the program ran
// again (its tables are drawn alike).
std::vector<std::string> plumbing_figures(const Run& run, const std::string& title);

} // namespace timeline
