// The player of a lesson in the book: every step of the run, forwards and
// backwards, with the source line that made it, its words, the processes
// (and what each waits in), their descriptor tables, the open file
// descriptions and the objects with the bytes in them. The run's data is
// written into the page as JSON: what each step changed (WorldLog), not a
// copy of the world per step; the page's own script replays it. Without
// script the book stays the static page it is.
#pragma once

#include <string>
#include <vector>

#include "model/run.hpp"
#include "views/source_view.hpp"

namespace timeline {

// Ids for the book's anchors: a step of the timeline, a line of a source
// file.
std::string step_anchor(const std::string& lesson, size_t step);
std::string line_anchor(const std::string& lesson, size_t file, int line);

// The lesson's steps and their changes as JSON, safe inside a <script>
// element; "" when the run kept no world.
std::string player_data(const Run& run, const std::string& lesson,
                        const std::vector<AnnotatedSource>& files);

// The player's words in the chosen language, as a JSON object for the
// page's script: its buttons, its headings, the states of a process.
std::string player_words();

// The page's one script and its styles.
extern const char kPlayerScript[];
extern const char kPlayerStyle[];

} // namespace timeline
