// The two ways to show a run: a timeline of text, one line per step, and a
// sequence diagram in SVG. Both take the model and nothing else.
#pragma once

#include <string>

#include "run.hpp"

namespace timeline {

// The first bytes of some data, escaped as C would write them ("ab\n\0"):
// printable ASCII and whole UTF-8 characters stay, the rest is escaped.
std::string seconds_text(double seconds);

std::string escape_bytes(std::string_view data, size_t limit);

// Text made safe inside XML or HTML: & < > " escaped, carriage returns dropped.
std::string escape_markup(std::string_view text);

// The name a process goes by at one of its steps ("date_handoff 2994").
std::string process_label(const Run& run, const Process& p, size_t step);

// One step in words, without time or process ("creates pipe A: fd 3 reads, fd 4 writes").
std::string describe(const Run& run, size_t step);

// The whole run, one line per step, with the time since the start and the
// process.
std::string text_timeline(const Run& run, const std::string& title);

// The run as a sequence diagram: a standalone SVG document.
std::string svg_diagram(const Run& run, const std::string& title);

} // namespace timeline
