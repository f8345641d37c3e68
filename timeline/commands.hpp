// What the command line asks beyond the timeline, each made in a file of
// its own: the lesson book, a run's page, the Perfetto trace.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/step_sink.hpp"
#include "views/wording.hpp"

namespace timeline {

// --book PAGE LESSON_DIR...: the lesson book (book_command.cpp).
int write_book(const std::string& page, const std::vector<std::string>& dirs);
// --perfetto FILE: the Perfetto trace, written as the steps come
// (perfetto_file.cpp).
std::unique_ptr<StepSink> perfetto_file(const std::string& path, StepWords* words);
// --html FILE: the run on a page of its own, like a lesson of the book,
// named after `title`; `command`, when the tool ran one, is shown with
// what it printed (book_command.cpp).
std::unique_ptr<StepSink> html_page(const std::string& path, const std::string& title,
                                    const std::string& command);

} // namespace timeline
