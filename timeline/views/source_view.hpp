// A program's source with, under each line, the system calls that line
// made in this run: the question a beginner asks of a trace. It needs the
// steps kept (Run::kStepsHeld of them) and their source lines, from a
// trace recorded with stacks of a program built with -g.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/run.hpp"

namespace timeline {

// The source files that the steps' calls were made from, the program's
// own first: each file's text and, for each line that made calls, those
// steps (indices into Run::steps()).
struct AnnotatedSource {
    std::string path;
    bool found = false; // the file could be read here
    std::vector<std::string> lines;
    std::map<int, std::vector<size_t>> steps;
};
// `near`: folders to look a source up in too (a lesson's own, the one its
// recording was made in), at its path or by its name alone.
std::vector<AnnotatedSource> annotated_sources(const Run& run,
                                               const std::vector<std::string>& near = {});

// The same as text: each file's lines, numbered, and under each line the
// calls it made; then the steps no line made.
std::string source_text(const Run& run, const std::string& title);

} // namespace timeline
