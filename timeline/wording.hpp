// The words every view of a run uses: what a step says, how long a time
// is, what a process is called, and text made safe to show.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "run.hpp"
#include "safe_text.hpp"

namespace timeline {

// "3.5 s", "152.0 ms", "17 µs"
std::string seconds_text(double seconds);

// "1 byte", "3 bytes"
std::string plural(long long n, const char* one, const char* many);

// The text in lines of at most `width` whole characters, broken at blanks
// where there are some; past `max_lines`, the last line ends in "…".
std::vector<std::string> wrap(const std::string& text, size_t width, size_t max_lines = 40);

// At most `n` characters (UTF-8 aware), with "…" when cut.
std::string fit(const std::string& text, size_t n);

// The name a process goes by at one of its steps ("date_handoff 2994 child").
std::string process_label(const Process& p, size_t step);

// One step in words, without time or process ("creates pipe A: fd 3 reads, fd 4 writes").
std::string describe(const Run& run, const Step& step);
// The same, appended to `text`.
void describe_into(std::string& text, const Run& run, const Step& step);
// The same for a step that the run kept.
std::string describe(const Run& run, size_t step);

// What a process printed at this step, when it wrote to the terminal or to
// its standard output or error: the bytes; nothing otherwise.
const step::Transfer* printed(const Run& run, const Step& step);

} // namespace timeline
