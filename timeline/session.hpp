// Traces read into a run: the wiring that the command and the fuzzer
// share. The reader's events go to the model, which feeds its views.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/run.hpp"
#include "model/step_sink.hpp"
#include "reader/merged_traces.hpp"
#include "views/wording.hpp"

namespace timeline {

// Every event of the traces into the run, then its end. `read_ahead`:
// decode on a thread of the reader's own, so that decoding and the model
// share two cores. Throws the reader's TraceError.
void read_traces(MergedTraces& traces, Run& run, bool read_ahead = true);

// The run's calls told by the line of the program that made them, from
// the programs' debug information (libdw).
void tell_source_lines(Run& run);

// --book PAGE LESSON_DIR...: the lesson book (book_command.cpp).
int write_book(const std::string& page, const std::vector<std::string>& dirs);
// --perfetto FILE: the Perfetto trace, written as the steps come.
std::unique_ptr<StepSink> perfetto_file(const std::string& path, StepWords* words);
// --html FILE: the run on a page of its own, like a lesson of the book,
// named after `title`; `command`, when the tool ran one, is shown with
// what it printed.
std::unique_ptr<StepSink> html_page(const std::string& path, const std::string& title,
                                    const std::string& command);

} // namespace timeline
