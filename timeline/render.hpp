// The two ways to show a run: a timeline of text, one line per step, and a
// sequence diagram in SVG. Both take the model and nothing else; the words
// they share are in wording.hpp.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run.hpp"

namespace timeline {

// The run, one line per step, with the time since the start and the
// process, as the steps come (a Run's sink): a short run is told whole at
// its end, its totals first and its columns lined up; a long one goes out
// as it is made, its totals last, so that memory does not grow with it.
class TextTimeline {
public:
    using Output = std::function<void(std::string_view)>;
    TextTimeline(const std::string& title, Output out);
    void add(const Run& run, size_t index, const Step& step);
    void finish(const Run& run);

private:
    const std::string& label(const Process& p, size_t index);
    void write_held(const Run& run);
    void write(const Run& run, size_t index, const Step& step);

    std::string title_;
    Output out_;
    std::vector<std::pair<size_t, Step>> held_;
    std::map<int, std::pair<size_t, std::string>> labels_; // pid -> (programs, label)
    size_t width_ = 7;
    bool streaming_ = false;
    std::string buffer_;
    std::string words_; // one step's, reused
    int last_pid_ = 0;
    const std::string* last_label_ = nullptr; // a process that has one name
};

// The same for a run that kept all its steps.
std::string text_timeline(const Run& run, const std::string& title);

// The descriptor tables at one moment (Run::plumbing()) as a standalone
// SVG figure, and the caption it carries, in words made from the tables
// ("After the closes; pipe A runs from 4282 to 4283.").
std::string plumbing_svg(const PlumbingMoment& moment, const std::string& title);
std::string plumbing_caption(const PlumbingMoment& moment);

// The source files that the steps' calls were made from (a trace recorded
// with stacks, of a program built with -g), the program's own first: each
// file's text and, for each line that made calls, those steps (indices
// into Run::steps()).
struct AnnotatedSource {
    std::string path;
    bool found = false; // the file could be read here
    std::vector<std::string> lines;
    std::map<int, std::vector<size_t>> steps;
};
std::vector<AnnotatedSource> annotated_sources(const Run& run);

// The same as text: each file's lines, numbered, and under each line the
// calls it made.
std::string source_text(const Run& run, const std::string& title);

// How many steps a diagram draws; the rest it counts.
constexpr size_t kDiagramRows = 1500;

// The run as a sequence diagram: a standalone SVG document.
std::string svg_diagram(const Run& run, const std::string& title);

// Where the diagram put each thing that must not overlap another: its
// labels, notes, lane heads, and each arrow's level stretch.
struct DiagramBox {
    double x = 0, y = 0, width = 0, height = 0;
    enum class Kind { label, note, header, arrow } kind = Kind::label;
    std::string what;
};
std::vector<DiagramBox> diagram_boxes(const Run& run, const std::string& title);

} // namespace timeline
