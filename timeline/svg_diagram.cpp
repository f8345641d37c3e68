// The run as a sequence diagram: one lifeline per process, one row per
// step, time running downward. It is laid out before it is drawn: every
// label, note and box gets its place as a rectangle, rows grow to hold
// their wrapped text, and each arrow runs level through a gap of its own
// above the row it points at, so that nothing is drawn over words. A run
// of its program again (on a terminal, then into a pipe) is a section of
// its own; a round of steps repeated unchanged is drawn once and counted.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "render.hpp"
#include "svg_style.hpp"
#include "wording.hpp"

namespace timeline {
namespace {

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
constexpr double kLongWait = 0.25; // seconds without a step that get a break
constexpr size_t kNoteLines = 8; // what a process printed, at most
constexpr size_t kPrintedBytes = 600;
constexpr int kFewestRounds = 3; // a round repeated this often is folded

struct Row {
    size_t step = 0;
    double top = 0; // of its text
    double dot = 0; // where it is on the lifeline
    std::vector<std::string> lines;
    bool note = false; // what a process printed
    bool program = false; // a program starts: exec
    std::string fold; // "… the same 8 more times, 1.0 s apart"
    double fold_top = 0;
};

struct ArrowPath {
    Arrow::Kind kind;
    double x1, y1, x2, level; // from the sender's dot, level through its gap, to the lifeline
};

struct Section {
    int run = 1;
    std::string title; // "run 2 of 2: output into a pipe"; "" for a single run
    double title_y = 0;
    std::vector<int> lanes; // pids
    double head_y = 0;
    double head_height = 0;
    std::map<int, std::vector<std::string>> head_lines;
    std::vector<Row> rows;
    std::vector<std::pair<double, double>> breaks; // y, seconds
    double bottom = 0;
};

struct Layout {
    double lane = kWidestLane;
    size_t chars = 44;
    std::vector<Section> sections;
    std::map<size_t, std::pair<size_t, size_t>> row_of; // step -> (section, row)
    std::vector<ArrowPath> arrows;
    std::vector<DiagramBox> boxes;
    std::vector<std::string> heading;
    double legend = 0;
    double width = 0;
    double height = 0;
    size_t shown = 0;
    std::set<std::string> marks; // what the legend explains

    double x_of(int pid) const
    {
        for (const auto& s : sections)
            for (size_t i = 0; i < s.lanes.size(); ++i)
                if (s.lanes[i] == pid)
                    return kGutter + double(i) * lane + kLifeline;
        return kGutter;
    }
    const Row* row(size_t step) const
    {
        auto it = row_of.find(step);
        return it == row_of.end() ? nullptr : &sections[it->second.first].rows[it->second.second];
    }
};

const Process& process(const Run& run, const Step& s)
{
    return *run.process(s.pid);
}

// What the step's row says, in one line before wrapping.
std::string row_text(const Run& run, size_t i, bool& note)
{
    const Step& s = run.steps()[i];
    const step::Transfer* output = printed(run, s);
    note = output != nullptr;
    if (output)
        return "prints \"" + escape_bytes(output->data, kPrintedBytes) + "\"";
    return printable(describe(run, i));
}

// Rounds of one process's steps repeated unchanged, with no other
// process's step between them: each kept once, the rest counted. The
// first round after a change (an adoption) starts a new count.
std::map<size_t, std::pair<size_t, std::string>> folds(const Run& run, size_t shown,
                                                       std::vector<bool>& hidden)
{
    std::map<size_t, std::pair<size_t, std::string>> after; // last step of the kept round
    const auto& steps = run.steps();
    std::set<size_t> arrow_ends;
    for (const Arrow& a : run.arrows())
        arrow_ends.insert({a.from, a.to});
    std::vector<std::string> text(shown);
    for (size_t i = 0; i < shown; ++i)
        text[i] = describe(run, i);
    for (size_t start = 0; start < shown;) {
        size_t best_k = 0, best_rounds = 1;
        for (size_t k = 1; k <= 6 && start + k * kFewestRounds <= shown; ++k) {
            size_t rounds = 1;
            auto same_round = [&](size_t from) {
                for (size_t j = 0; j < k; ++j) {
                    size_t a = start + j, b = from + j;
                    if (b >= shown || steps[b].pid != steps[start].pid || text[a] != text[b] ||
                        arrow_ends.count(b) != 0)
                        return false;
                }
                return true;
            };
            bool one_process = true;
            for (size_t j = 0; j < k; ++j)
                one_process = one_process && steps[start + j].pid == steps[start].pid;
            if (!one_process)
                break;
            while (same_round(start + rounds * k))
                ++rounds;
            if (rounds >= size_t(kFewestRounds) &&
                rounds * k > best_rounds * std::max<size_t>(best_k, 1)) {
                best_k = k;
                best_rounds = rounds;
            }
        }
        if (best_k == 0) {
            ++start;
            continue;
        }
        size_t first_hidden = start + best_k, end = start + best_k * best_rounds;
        for (size_t i = first_hidden; i < end; ++i)
            hidden[i] = true;
        double every = (steps[end - best_k].time - steps[start].time) / double(best_rounds - 1);
        after[first_hidden - 1] = {end, "\xe2\x80\xa6 the same round " +
                                            std::to_string(best_rounds - 1) + " more times, " +
                                            seconds_text(every) + " apart, until " +
                                            seconds_text(steps[end - 1].time)};
        start = end;
    }
    return after;
}

std::string run_title(const Run& run, int number, const Process& first)
{
    std::string title = "run " + std::to_string(number) + " of " + std::to_string(run.runs());
    auto out = first.inherited.find(1);
    if (out != first.inherited.end())
        title += out->second == "the terminal"                   ? ": output to the terminal"
                 : out->second.find("pipe") != std::string::npos ? ": output into a pipe"
                                                                 : ": output to " + out->second;
    return title;
}

std::vector<std::string> head_lines(const Process& p, size_t chars)
{
    std::string name = p.programs.empty() ? p.program : p.programs.front().second;
    std::vector<std::string> lines = wrap(printable(name), chars, 2);
    std::string who = "pid " + std::to_string(p.pid);
    if (p.thread_of != 0)
        who += ", thread " + std::to_string(p.thread_number) + " of " + std::to_string(p.thread_of);
    else if (p.child)
        who += ", child of " + std::to_string(p.parent);
    for (auto& line : wrap(who, chars, 2))
        lines.push_back(line);
    if (p.last_parent && p.last_parent != p.parent && p.parent != 0)
        lines.push_back(fit("adopted by " + std::to_string(*p.last_parent), chars));
    return lines;
}

void add_box(Layout& l, double x, double y, double w, double h, DiagramBox::Kind kind,
             std::string what)
{
    l.boxes.push_back({x, y, w, h, kind, std::move(what)});
}

// Rows of one section, from `y` down; returns where it ends.
double lay_out_rows(Layout& l, const Run& run, Section& section, const std::vector<size_t>& steps,
                    const std::vector<bool>& hidden,
                    const std::map<size_t, std::pair<size_t, std::string>>& fold_after,
                    std::map<size_t, int>& arrows_into, double y)
{
    const auto& all = run.steps();
    std::optional<double> last_time;
    for (size_t i : steps) {
        if (hidden[i])
            continue;
        const Step& s = all[i];
        if (last_time && s.time - *last_time > kLongWait) {
            section.breaks.emplace_back(y + 2, s.time - *last_time);
            add_box(l, 4, y + 2 + kBreak / 2 - 9, kGutter - 8 + 10 * kChar, 13,
                    DiagramBox::Kind::label, "break");
            y += kBreak + 4;
        }
        last_time = s.time;
        y += arrows_into[i] * kArrowGap + (arrows_into[i] ? 3 : 0);
        Row row{.step = i, .top = y};
        bool note = false;
        std::string text = row_text(run, i, note);
        row.note = note;
        row.program = s.is<step::Exec>() || s.is<step::Start>();
        row.lines = wrap(text, l.chars, note ? kNoteLines : 40);
        row.dot = y + 7;
        double x = l.x_of(s.pid);
        double height = double(row.lines.size()) * kLine + 4;
        if (row.note || row.program) {
            add_box(l, x + 6, y - 1, l.lane - kLifeline - 12, height, DiagramBox::Kind::note, text);
        } else {
            size_t widest = 0;
            for (const auto& line : row.lines) {
                size_t chars = 0;
                for (size_t k = 0; k < line.size();
                     k += std::max<size_t>(1, utf8_character(line, k)))
                    ++chars;
                widest = std::max(widest, chars);
            }
            add_box(l, x + 9, y, double(widest) * kChar, height - 2, DiagramBox::Kind::label, text);
        }
        add_box(l, kGutter - 50, y, 42, kLine, DiagramBox::Kind::label, "time");
        y += height + kRowPad - 2;
        if (auto fold = fold_after.find(i); fold != fold_after.end()) {
            row.fold = fold->second.second;
            row.fold_top = y;
            auto lines = wrap(row.fold, l.chars);
            add_box(l, x + 9, y, double(std::min(row.fold.size(), l.chars)) * kChar,
                    double(lines.size()) * kLine, DiagramBox::Kind::label, row.fold);
            y += double(lines.size()) * kLine + kRowPad;
            l.marks.insert("fold");
            // What the folded rounds were waiting for stays: the last
            // round's time gives the next break its length.
            last_time = all[fold->second.first - 1].time;
        }
        l.row_of[i] = {size_t(&section - l.sections.data()), section.rows.size()};
        section.rows.push_back(std::move(row));
    }
    return y;
}

Layout lay_out(const Run& run, const std::string& heading)
{
    const auto& steps = run.steps();
    Layout l;
    l.shown = std::min(steps.size(), kDiagramRows);
    l.heading = wrap(heading, size_t((kWidestDiagram - 20) / 8.5));
    std::vector<bool> hidden(l.shown, false);
    auto fold_after = folds(run, l.shown, hidden);

    // A section per run, a lane for each process with a step among its rows.
    std::map<int, std::vector<size_t>> rows_of_run;
    for (size_t i = 0; i < l.shown; ++i)
        rows_of_run[process(run, steps[i]).run].push_back(i);
    size_t most_lanes = 1;
    for (const auto& [number, rows] : rows_of_run) {
        Section s{.run = number};
        std::set<int> drawn;
        for (size_t i : rows)
            drawn.insert(steps[i].pid);
        for (const Process& p : run.processes())
            if (drawn.count(p.pid) != 0)
                s.lanes.push_back(p.pid);
        if (rows_of_run.size() > 1)
            s.title = run_title(run, number, *run.process(s.lanes.front()));
        most_lanes = std::max(most_lanes, s.lanes.size());
        l.sections.push_back(std::move(s));
    }
    l.lane = std::clamp(std::floor((kWidestDiagram - kGutter - 10) / double(most_lanes)),
                        kNarrowestLane, kWidestLane);
    l.chars = size_t((l.lane - kLifeline - 16) / kChar);

    // How many arrows come into each row from another lane.
    std::map<size_t, int> arrows_into;
    for (const Arrow& a : run.arrows())
        if (a.from < l.shown && a.to < l.shown && steps[a.from].pid != steps[a.to].pid &&
            !hidden[a.from] && !hidden[a.to] &&
            process(run, steps[a.from]).run == process(run, steps[a.to]).run)
            ++arrows_into[a.to];

    double y = 24 + double(l.heading.size()) * 17;
    add_box(l, 10, 8, double(heading.size()) * 8.5, double(l.heading.size()) * 17,
            DiagramBox::Kind::label, "heading");
    for (auto& section : l.sections) {
        if (!section.title.empty()) {
            section.title_y = y + 6;
            add_box(l, 10, y - 6, double(section.title.size()) * 7.8, 16, DiagramBox::Kind::label,
                    section.title);
            y += 22;
        }
        section.head_y = y;
        for (int pid : section.lanes) {
            auto lines = head_lines(*run.process(pid), size_t((l.lane - 30) / kChar));
            section.head_height = std::max(section.head_height, double(lines.size()) * kLine + 10);
            section.head_lines[pid] = std::move(lines);
        }
        for (int pid : section.lanes)
            add_box(l, l.x_of(pid) - 10, y, l.lane - 14, section.head_height,
                    DiagramBox::Kind::header, "lane " + std::to_string(pid));
        y += section.head_height + 16;
        y = lay_out_rows(l, run, section, rows_of_run[section.run], hidden, fold_after, arrows_into,
                         y);
        section.bottom = y + 4;
        y = section.bottom + 24;
    }
    // The arrows: from the sender's dot down the left of its lifeline,
    // then level, through the gap above the row they point at.
    std::map<size_t, int> placed;
    for (const Arrow& a : run.arrows()) {
        const Row* from = a.from < l.shown ? l.row(a.from) : nullptr;
        const Row* to = a.to < l.shown ? l.row(a.to) : nullptr;
        if (!from || !to || steps[a.from].pid == steps[a.to].pid ||
            process(run, steps[a.from]).run != process(run, steps[a.to]).run)
            continue;
        double level = to->top - 3 - kArrowGap * placed[a.to]++;
        double x1 = l.x_of(steps[a.from].pid) - 6, x2 = l.x_of(steps[a.to].pid);
        l.arrows.push_back({a.kind, x1, from->dot, x2 + (x2 > x1 ? -4 : 4), level});
        add_box(l, std::min(x1, x2) + 1, level - 1, std::abs(x2 - x1) - 2, 2,
                DiagramBox::Kind::arrow, "arrow");
        l.marks.insert(a.kind == Arrow::Kind::fork      ? "fork"
                       : a.kind == Arrow::Kind::data    ? "data"
                       : a.kind == Arrow::Kind::collect ? "collect"
                                                        : "signal");
    }
    l.legend = y + (l.shown < run.step_count() ? 20 : 0);
    double widest = kGutter + double(most_lanes) * l.lane + 10;
    l.width = std::max(widest, std::min(kWidestDiagram, 20 + 8.5 * double(heading.size())));
    return l;
}

void draw_frame(std::string& svg, const Layout& l, const std::string& title)
{
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svg_number(l.width) +
           "\" height=\"" + svg_number(l.height) + "\" viewBox=\"0 0 " + svg_number(l.width) + " " +
           svg_number(l.height) +
           "\" font-family=\"DejaVu Sans Mono, monospace\" font-size=\"11\" xml:space=\"preserve\" "
           "style=\"white-space: pre\">\n"; // the blanks of a message are part of it
    svg += "<title>" + escape_markup(title) + ": system calls</title>\n<defs>\n";
    for (const auto& [id, colour] : {std::pair{"fork", kColour.fork},
                                     {"data", kColour.data},
                                     {"collect", kColour.collect},
                                     {"signal", kColour.signal}})
        svg += std::string("<marker id=\"") + id +
               "\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
               "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
               colour + "\"/></marker>\n";
    svg += "</defs>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (size_t i = 0; i < l.heading.size(); ++i)
        svg += "<text x=\"10\" y=\"" + svg_number(22 + 17 * double(i)) +
               "\" font-size=\"14\" font-weight=\"bold\">" + escape_markup(l.heading[i]) +
               "</text>\n";
}

void text_lines(std::string& svg, double x, double y, const std::vector<std::string>& lines,
                const std::string& attributes)
{
    svg += "<text x=\"" + svg_number(x) + "\" y=\"" + svg_number(y) + "\"" + attributes + ">";
    for (size_t i = 0; i < lines.size(); ++i)
        svg += "<tspan x=\"" + svg_number(x) + "\" y=\"" + svg_number(y + kLine * double(i)) +
               "\">" + escape_markup(lines[i]) + "</tspan>";
    svg += "</text>\n";
}

void line(std::string& svg, double x1, double y1, double x2, double y2, const char* colour,
          const std::string& extra)
{
    svg += "<line x1=\"" + svg_number(x1) + "\" y1=\"" + svg_number(y1) + "\" x2=\"" +
           svg_number(x2) + "\" y2=\"" + svg_number(y2) + "\" stroke=\"" + colour + "\"" + extra +
           "/>\n";
}

// Where a moment of the run is on this section's rows: the dot of the last
// row at or before it.
double y_at(const Run& run, const Section& section, double time, double fallback)
{
    double y = fallback;
    for (const Row& row : section.rows)
        if (run.steps()[row.step].time <= time)
            y = row.dot;
    return y;
}

void draw_lifeline(std::string& svg, const Run& run, Layout& l, const Section& section,
                   const Process& p)
{
    double x = l.x_of(p.pid);
    svg += "<rect class=\"lane\" x=\"" + svg_number(x - 10) + "\" y=\"" +
           svg_number(section.head_y) + "\" width=\"" + svg_number(l.lane - 14) + "\" height=\"" +
           svg_number(section.head_height) + "\" rx=\"4\" fill=\"" + kColour.head_fill +
           "\" stroke=\"" + kColour.head_edge + "\"/>\n";
    const auto& head = section.head_lines.at(p.pid);
    text_lines(svg, x - 4, section.head_y + 15, {head.front()}, " font-weight=\"bold\"");
    text_lines(svg, x - 4, section.head_y + 15 + kLine, {head.begin() + 1, head.end()},
               std::string(" fill=\"#333\""));

    std::vector<const Row*> rows;
    for (const Row& row : section.rows)
        if (run.steps()[row.step].pid == p.pid)
            rows.push_back(&row);
    if (rows.empty())
        return;
    const Row* end = p.end_step ? l.row(*p.end_step) : nullptr;
    double alive_end = end ? end->dot : section.bottom;
    line(svg, x, rows.front()->dot, x, alive_end, kColour.alive, " stroke-width=\"2\"");
    // Blocked in a call: a bar along the lifeline for as long as it waited.
    for (const Row* row : rows) {
        const Step& s = run.steps()[row->step];
        double waited = 0;
        if (const auto* t = s.as<step::Transfer>())
            waited = t->is_read ? t->waited : 0;
        else if (const auto* c = s.as<step::Collect>())
            waited = c->waited;
        else if (const auto* o = s.as<step::Open>())
            waited = o->waited;
        if (waited < 0.001)
            continue;
        double top = y_at(run, section, s.time - waited, rows.front()->dot);
        if (row->dot - top < 4)
            continue;
        svg += "<rect x=\"" + svg_number(x - 3) + "\" y=\"" + svg_number(top) +
               "\" width=\"6\" height=\"" + svg_number(row->dot - top) + "\" fill=\"" +
               kColour.waiting + "\"><title>blocked " + escape_markup(seconds_text(waited)) +
               "</title></rect>\n";
        l.marks.insert("waiting");
    }
    // Stopped by a signal: a wide pale band over the lifeline until SIGCONT.
    std::optional<double> stopped_at;
    for (const Row* row : rows) {
        const Step& s = run.steps()[row->step];
        if (s.is<step::Stopped>())
            stopped_at = row->dot;
        const auto* signal = s.as<step::Signal>();
        if (stopped_at && signal && signal->resumes) {
            line(svg, x, *stopped_at, x, row->dot, kColour.stopped,
                 " stroke-width=\"7\" stroke-opacity=\"0.7\"");
            stopped_at.reset();
            l.marks.insert("stopped");
        }
    }
    if (stopped_at) {
        line(svg, x, *stopped_at, x, alive_end, kColour.stopped,
             " stroke-width=\"7\" stroke-opacity=\"0.7\"");
        l.marks.insert("stopped");
    }
    auto foot = [&](const char* colour, const std::string& words) {
        svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(section.bottom + 12) +
               "\" fill=\"" + colour + "\" font-style=\"italic\">" + escape_markup(words) +
               "</text>\n";
        add_box(l, x + 8, section.bottom + 2, double(words.size()) * kChar, 13,
                DiagramBox::Kind::label, words);
    };
    if (!p.ended) {
        foot(kColour.alive, fit("still running at the end", l.chars));
    } else if (p.child && end) {
        const Row* collected = p.collect_step ? l.row(*p.collect_step) : nullptr;
        line(svg, x, alive_end, x, collected ? collected->dot : section.bottom, kColour.zombie,
             " stroke-width=\"2\" stroke-dasharray=\"2 4\"");
        l.marks.insert("zombie");
        if (!p.collected)
            foot(kColour.zombie, fit("zombie, never collected", l.chars));
    }
}

// A long wait or sleep: a band across the section, with its length.
void draw_breaks(std::string& svg, const Layout& l, const Section& section)
{
    for (const auto& [band, seconds] : section.breaks) {
        svg += "<rect x=\"0\" y=\"" + svg_number(band) + "\" width=\"" + svg_number(l.width) +
               "\" height=\"" + svg_number(kBreak - 4) + "\" fill=\"" + kColour.break_fill +
               "\" fill-opacity=\"0.85\"/>\n";
        svg += "<path d=\"M0," + svg_number(band) + " H" + svg_number(l.width) + " M0," +
               svg_number(band + kBreak - 4) + " H" + svg_number(l.width) + "\" stroke=\"" +
               kColour.break_edge + "\" stroke-dasharray=\"6 4\"/>\n";
        svg += "<text x=\"8\" y=\"" + svg_number(band + kBreak / 2.0 + 2) +
               "\" fill=\"#555\" font-style=\"italic\">\xe2\x80\xa6 " +
               escape_markup(seconds_text(seconds)) + " later \xe2\x80\xa6</text>\n";
    }
}

void draw_arrows(std::string& svg, const Layout& l)
{
    for (const ArrowPath& a : l.arrows) {
        const char* id = a.kind == Arrow::Kind::fork      ? "fork"
                         : a.kind == Arrow::Kind::data    ? "data"
                         : a.kind == Arrow::Kind::collect ? "collect"
                                                          : "signal";
        const char* colour = a.kind == Arrow::Kind::fork      ? kColour.fork
                             : a.kind == Arrow::Kind::data    ? kColour.data
                             : a.kind == Arrow::Kind::collect ? kColour.collect
                                                              : kColour.signal;
        svg += "<path d=\"M" + svg_number(a.x1) + "," + svg_number(a.y1) + " V" +
               svg_number(a.level) + " H" + svg_number(a.x2) + "\" fill=\"none\" stroke=\"" +
               colour + "\" stroke-width=\"1.5\"" +
               (a.kind == Arrow::Kind::collect  ? " stroke-dasharray=\"5 3\""
                : a.kind == Arrow::Kind::signal ? " stroke-dasharray=\"1 3\""
                                                : "") +
               " marker-end=\"url(#" + id + ")\"/>\n";
    }
}

const char* colour_of(const Step& s)
{
    if (s.is<step::Exec>() || s.is<step::Start>())
        return kColour.exec;
    if (const auto* e = s.as<step::Ended>(); e && e->how.killed)
        return kColour.error; // a fatal signal
    if (s.is<step::Signal>())
        return kColour.signal;
    // A call interrupted by a signal and restarted (ERESTART...) never
    // failed for the program.
    if (!s.error.empty() && !s.is<step::MakeFifo>() && s.error.rfind("ERESTART", 0) != 0)
        return kColour.error;
    return kColour.text;
}

// A step: a dot on the lifeline, the time, and what happened; what a
// process printed stands in a note, and a new program in a box.
void draw_row(std::string& svg, const Run& run, Layout& l, const Row& row)
{
    const Step& s = run.steps()[row.step];
    double x = l.x_of(s.pid);
    char t[32];
    (void)std::snprintf(t, sizeof t, "%.3f", s.time);
    svg += "<text x=\"" + svg_number(kGutter - 8) + "\" y=\"" + svg_number(row.top + 10) +
           "\" text-anchor=\"end\" fill=\"" + kColour.faint + "\">" + t + "</text>\n";
    const char* colour = colour_of(s);
    svg += "<g><title>" + escape_markup(std::to_string(s.pid) + ": " + describe(run, row.step)) +
           "</title>\n";
    const auto* asked = s.as<step::AskParent>();
    if (asked && asked->before) {
        // Adopted: a diamond on the lifeline.
        svg += "<path d=\"M" + svg_number(x) + "," + svg_number(row.dot - 6) +
               " l6,6 l-6,6 l-6,-6 z\" fill=\"" + kColour.adopted + "\"/>\n";
        l.marks.insert("adopted");
    } else {
        svg += "<circle cx=\"" + svg_number(x) + "\" cy=\"" + svg_number(row.dot) +
               "\" r=\"3.5\" fill=\"" + colour + "\"/>\n";
    }
    double height = double(row.lines.size()) * kLine + 4;
    auto box = [&](const char* fill, const char* edge) {
        svg += "<rect x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(row.top - 1) +
               "\" width=\"" + svg_number(l.lane - kLifeline - 12) + "\" height=\"" +
               svg_number(height) + "\" rx=\"3\" fill=\"" + fill + "\" stroke=\"" + edge + "\"/>\n";
    };
    if (row.note) {
        box(kColour.note_fill, kColour.note_edge);
        l.marks.insert("note");
    }
    if (row.program) {
        box(kColour.exec_fill, kColour.exec_edge);
        l.marks.insert("program");
    }
    text_lines(svg, x + 10, row.top + 10, row.lines, " fill=\"" + std::string(colour) + "\"");
    svg += "</g>\n";
    if (!row.fold.empty())
        text_lines(svg, x + 10, row.fold_top + 10, wrap(row.fold, l.chars),
                   " fill=\"#555\" font-style=\"italic\"");
}

void draw_legend(std::string& svg, Layout& l)
{
    double ly = l.legend;
    const double lx = 10;
    svg += "<g font-size=\"11\">\n";
    auto sample = [&](const char* colour, const char* dash, const char* marker, const char* what,
                      const char* width = "2") {
        svg += "<line x1=\"" + svg_number(lx) + "\" y1=\"" + svg_number(ly) + "\" x2=\"" +
               svg_number(lx + 34) + "\" y2=\"" + svg_number(ly) + "\" stroke=\"" + colour +
               "\" stroke-width=\"" + width + "\"" +
               (dash[0] ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") +
               (marker[0] ? std::string(" marker-end=\"url(#") + marker + ")\"" : "") + "/>\n";
        svg += "<text x=\"" + svg_number(lx + 40) + "\" y=\"" + svg_number(ly + 4) + "\">" + what +
               "</text>\n";
        add_box(l, lx + 40, ly - 6, double(std::string(what).size()) * kChar, 13,
                DiagramBox::Kind::label, what);
        ly += 16;
    };
    auto swatch = [&](const char* fill, const char* edge, const char* what) {
        svg += "<rect x=\"" + svg_number(lx) + "\" y=\"" + svg_number(ly - 6) +
               "\" width=\"34\" height=\"12\" rx=\"3\" fill=\"" + fill + "\" stroke=\"" + edge +
               "\"/>\n<text x=\"" + svg_number(lx + 40) + "\" y=\"" + svg_number(ly + 4) + "\">" +
               what + "</text>\n";
        add_box(l, lx + 40, ly - 6, double(std::string(what).size()) * kChar, 13,
                DiagramBox::Kind::label, what);
        ly += 16;
    };
    const auto& m = l.marks;
    sample(kColour.alive, "", "", "alive");
    if (m.count("waiting"))
        sample(kColour.waiting, "", "",
               "blocked in a call (read, wait, open), for as long as it waited", "6");
    if (m.count("zombie"))
        sample(kColour.zombie, "2 4", "", "zombie: ended, not yet collected");
    if (m.count("fork"))
        sample(kColour.fork, "", "fork", "fork: a child is born");
    if (m.count("data"))
        sample(kColour.data, "", "data",
               "bytes through a pipe, FIFO or socket, to the read that took them");
    if (m.count("collect"))
        sample(kColour.collect, "5 3", "collect", "a child's end, collected by wait");
    if (m.count("signal"))
        sample(kColour.signal, "1 3", "signal", "a signal, from its cause to its arrival");
    if (m.count("stopped"))
        sample(kColour.stopped, "", "", "stopped by a signal, until SIGCONT", "7");
    if (m.count("note"))
        swatch(kColour.note_fill, kColour.note_edge, "what a process printed");
    if (m.count("program"))
        swatch(kColour.exec_fill, kColour.exec_edge, "a program starts: the traced one, or exec");
    if (m.count("adopted")) {
        svg += "<path d=\"M" + svg_number(lx + 17) + "," + svg_number(ly - 6) +
               " l6,6 l-6,6 l-6,-6 z\" fill=\"" + kColour.adopted + "\"/>\n";
        svg += "<text x=\"" + svg_number(lx + 40) + "\" y=\"" + svg_number(ly + 4) +
               "\">adopted: its parent ended, getppid answers its new one</text>\n";
        ly += 16;
    }
    if (m.count("break"))
        swatch(kColour.break_fill, kColour.break_edge,
               "a long pause, drawn short, with its length");
    if (m.count("fold"))
        sample(kColour.faint, "", "", "a round repeated unchanged: drawn once, then counted", "0");
    svg += "</g>\n";
    l.height = ly + 6;
}

} // namespace

namespace {

std::string draw(const Run& run, const std::string& title, std::vector<DiagramBox>* boxes)
{
    std::string heading = title + ": system calls, time running downward";
    Layout l = lay_out(run, heading);
    std::string body;
    for (const Section& section : l.sections) {
        if (!section.title.empty())
            body += "<text x=\"10\" y=\"" + svg_number(section.title_y) +
                    "\" font-size=\"13\" font-weight=\"bold\" fill=\"" + kColour.head_edge + "\">" +
                    escape_markup(section.title) + "</text>\n";
        if (!section.breaks.empty())
            l.marks.insert("break");
        draw_breaks(body, l, section);
        for (int pid : section.lanes)
            draw_lifeline(body, run, l, section, *run.process(pid));
    }
    draw_arrows(body, l);
    for (const Section& section : l.sections)
        for (const Row& row : section.rows)
            draw_row(body, run, l, row);
    if (l.shown < run.step_count())
        body += "<text x=\"10\" y=\"" + svg_number(l.legend - 8) + "\" fill=\"" + kColour.faint +
                "\">\xe2\x80\xa6 " + std::to_string(run.step_count() - l.shown) +
                " more steps not drawn: see the timeline</text>\n";
    l.legend += 14;
    draw_legend(body, l);
    std::string svg;
    draw_frame(svg, l, title);
    if (boxes)
        *boxes = std::move(l.boxes);
    return svg + body + "</svg>\n";
}

} // namespace

std::vector<DiagramBox> diagram_boxes(const Run& run, const std::string& title)
{
    std::vector<DiagramBox> boxes;
    (void)draw(run, title, &boxes);
    return boxes;
}

std::string svg_diagram(const Run& run, const std::string& title)
{
    return draw(run, title, nullptr);
}

} // namespace timeline
