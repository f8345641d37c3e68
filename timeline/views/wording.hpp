// The words every view of a run uses: what a step says, how long a time
// is, what a process and a channel are called. The model holds facts
// only; its words for the learner are made here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/safe_text.hpp"
#include "base/vocabulary.hpp"
#include "model/run.hpp"

namespace timeline {

// plural(3, "{1} byte", "{1} bytes"): "3 bytes", in the chosen language,
// which counts as it counts ("0 bytes", "1 byte").
std::string plural(long long n, const char* one, const char* many);

// The text in lines of at most `width` whole characters, broken at blanks
// where there are some; past `max_lines`, the last line ends in "…".
std::vector<std::string> wrap(const std::string& text, size_t width, size_t max_lines = 40);

// What a channel is called: "pipe A", "socket pair B", "socket 2", "the
// terminal", "a pipe from outside", "FIFO FIFOVEK", "/dev/null", "its
// working folder", "eventfd" (base/vocabulary.hpp names them).
// With Article::definite, as the thing a sentence speaks of: the same in
// English, "la tubería A", "el FIFO FIFOVEK" in Spanish.
std::string channel_name(const Channel& channel, Article article = Article::none);
// The end of a pipe as the words name it.
EndHeld held(End end);
void append_channel_name(std::string& text, const Channel& channel,
                         Article article = Article::none);

// An open file description in a line or two: "write end, O_NONBLOCK",
// then "offset 5 · refs 2" (how many descriptors point at it); one given
// from outside the trace, whose mode the trace does not tell: "from
// outside", "refs 3".
std::string description_mode(const WorldDescription& d);
std::string description_detail(const WorldDescription& d);
// What is in a pipe now: "5 bytes unread: \"hello\"", "empty".
std::string in_flight_text(const WorldObject& o);

// What a process runs, or "pid 2994" while the trace has not said.
std::string program_name(const std::string& program, int pid);

// The name a process goes by at one of its steps ("date_handoff 2994 child").
std::string process_label(const Process& p, size_t step);

// One step in words, without time or process ("creates pipe A: fd 3 reads, fd 4 writes").
std::string describe(const Run& run, const Step& step);
// The same, appended to `text`.
void describe_into(std::string& text, const Run& run, const Step& step);
// The same for a step that the run kept.
std::string describe(const Run& run, size_t step);

// The words of the step being handed over, safe for a terminal and for
// JSON (printable): made once for all the views that stream the steps
// (the timeline, the Perfetto trace), which share one of these.
class StepWords {
public:
    const std::string& of(const Run& run, size_t index, const Step& step);
    // A view that tells steps later than their hand-over (the timeline of
    // a short run, at its end) forgets what was made then.
    void forget() { known_ = false; }

private:
    const Run* run_ = nullptr;
    size_t index_ = 0;
    bool known_ = false;
    std::string words_;
    std::string shown_;
};

// What a process printed at this step, when it wrote to the terminal or to
// its standard output or error: the bytes; nothing otherwise.
const step::Transfer* printed(const Run& run, const Step& step);

} // namespace timeline
