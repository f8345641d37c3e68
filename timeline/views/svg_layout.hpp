// The sequence diagram laid out, wholly, before anything is drawn: every
// label, note, lane head, bar, arrow and legend line gets its place, rows
// grow to hold their wrapped text, and each arrow runs level through a gap
// of its own above the row it points at, so that nothing is drawn over
// words. A run of the program again (on a terminal, then into a pipe) is a
// section of its own; a round of steps repeated unchanged is drawn once
// and counted. Drawing (svg_diagram.cpp) adds nothing to it.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/run.hpp"
#include "views/svg_diagram.hpp"

namespace timeline::diagram {

// The geometry, named once.
constexpr double kWidestDiagram = 1000;
constexpr double kGutter = 64; // the time column
constexpr double kWidestLane = 330;
constexpr double kNarrowestLane = 150;
constexpr double kLifeline = 16; // the lifeline's offset in its lane
constexpr double kChar = 6.7; // DejaVu Sans Mono at 11 px, with a little room
constexpr double kLine = 13;
constexpr double kRowPad = 7;
constexpr double kArrowGap = 8; // above a row, for each arrow into it
constexpr double kBreak = 28;
constexpr double kLegendLine = 16;

// What the legend explains, in its order; each is listed when used.
enum class Mark {
    alive,
    waiting,
    zombie,
    fork,
    data,
    collect,
    signal,
    stopped,
    note,
    program,
    adopted,
    pause,
    fold,
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

struct Row {
    size_t step = 0;
    double top = 0; // of its text
    double dot = 0; // where it is on the lifeline
    std::vector<std::string> lines;
    bool note = false; // what a process printed, in a box
    bool program = false; // a program starts (exec), in a box
    bool adopted = false; // a diamond, not a dot
    Rect box; // a note's or a program's
    // "… the same round 8 more times, 1.0 s apart", after the kept round
    std::vector<std::string> fold;
    double fold_top = 0;
};

// A stretch of one lifeline, from `top` down to `bottom`.
struct Stretch {
    double top = 0, bottom = 0;
    std::string title; // said on hover: "blocked 382.8 ms"
};

struct Lane {
    int pid = 0;
    double x = 0; // of its lifeline
    std::vector<std::string> head; // its program, then who it is
    std::optional<Stretch> alive; // none for a process without rows here
    std::vector<Stretch> waits; // blocked in a call
    std::vector<Stretch> stops; // stopped by a signal
    std::optional<Stretch> zombie;
    std::string foot; // "still running at the end", "zombie, never collected"
    Mark foot_mark = Mark::alive;
};

struct Pause {
    double y = 0;
    double seconds = 0;
};

struct Section {
    int run = 1;
    std::string title; // "run 2 of 2: output into a pipe"; "" for a single run
    double title_y = 0;
    std::vector<Lane> lanes;
    double head_y = 0;
    double head_height = 0;
    std::vector<Row> rows;
    std::vector<Pause> breaks;
    double bottom = 0;
};

struct ArrowPath {
    Arrow::Kind kind;
    double x1, y1, x2, level; // from the sender's dot, level through its gap, to the lifeline
};

struct LegendLine {
    Mark mark;
    double y;
};

struct Layout {
    double lane = kWidestLane;
    size_t chars = 44;
    std::vector<std::string> heading;
    std::vector<Section> sections;
    std::map<size_t, std::pair<size_t, size_t>> row_of; // step -> (section, row)
    std::vector<ArrowPath> arrows;
    std::vector<DiagramBox> boxes;
    std::vector<bool> marks = std::vector<bool>(size_t(Mark::fold) + 1);
    size_t shown = 0; // the steps drawn
    size_t not_drawn = 0;
    double not_drawn_y = 0;
    std::vector<LegendLine> legend;
    double width = 0;
    double height = 0;

    double x_of(int pid) const;
    const Row* row(size_t step) const;
    void mark(Mark m) { marks[size_t(m)] = true; }
    bool marked(Mark m) const { return marks[size_t(m)]; }
    void add_box(Rect r, DiagramBox::Kind kind, std::string what);
};

// The diagram of the run under its heading.
Layout lay_out(const Run& run, const std::string& heading);

// What a legend line says.
const char* legend_words(Mark m);

} // namespace timeline::diagram
