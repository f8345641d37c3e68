// The two ways to show a run: a timeline of text, one line per step, and a
// sequence diagram in SVG. Both take the model and nothing else; the words
// they share are in wording.hpp.
#pragma once

#include <string>

#include "run.hpp"

namespace timeline {

// The whole run, one line per step, with the time since the start and the
// process.
std::string text_timeline(const Run& run, const std::string& title);

// The run as a sequence diagram: a standalone SVG document.
std::string svg_diagram(const Run& run, const std::string& title);

} // namespace timeline
