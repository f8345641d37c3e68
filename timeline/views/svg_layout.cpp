#include "views/svg_layout.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "base/language.hpp"
#include "views/svg_parts.hpp"
#include "views/svg_style.hpp"
#include "views/wording.hpp"

namespace timeline::diagram {
namespace {

constexpr double kLongWait = 0.25; // seconds without a step that get a break
constexpr size_t kNoteLines = 8; // what a process printed, at most
constexpr size_t kPrintedBytes = 600;

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
        return fill(tr("prints \"{1}\""), {escape_bytes(output->data, kPrintedBytes)});
    return printable(describe(run, i));
}

std::string run_title(const Run& run, int number, const Process& first)
{
    std::string which = std::to_string(number), of = std::to_string(run.runs());
    auto out = first.inherited.find(1);
    if (out == first.inherited.end())
        return fill(tr("run {1} of {2}"), {which, of});
    const Channel& channel = out->second;
    if (channel.kind == Channel::Kind::terminal)
        return fill(tr("run {1} of {2}: output to the terminal"), {which, of});
    if (channel.kind == Channel::Kind::pipe)
        return fill(tr("run {1} of {2}: output into a pipe"), {which, of});
    return fill(tr("run {1} of {2}: output to {3}"),
                {which, of, channel_name(channel, Article::definite)});
}

std::vector<std::string> head_lines(const Process& p, size_t chars)
{
    std::string name = p.programs.empty() ? p.program : p.programs.front().second;
    std::vector<std::string> lines = wrap(printable(program_name(name, p.pid)), chars, 2);
    std::string pid = std::to_string(p.pid);
    std::string who =
        p.thread_of != 0 ? fill(tr("pid {1}, thread {2} of {3}"),
                                {pid, std::to_string(p.thread_number), std::to_string(p.thread_of)})
        : p.child        ? fill(tr("pid {1}, child of {2}"), {pid, std::to_string(p.parent)})
                         : fill(tr("pid {1}"), {pid});
    for (auto& line : wrap(who, chars, 2))
        lines.push_back(line);
    if (p.adopted)
        lines.push_back(fit(p.adopter != 0 ? fill(tr("adopted by {1}"), {std::to_string(p.adopter)})
                                           : std::string(tr("adopted outside the trace")),
                            chars));
    else if (p.last_parent && p.last_parent != p.parent && p.parent != 0)
        lines.push_back(fit(fill(tr("adopted by {1}"), {std::to_string(*p.last_parent)}), chars));
    return lines;
}

size_t widest_line(const std::vector<std::string>& lines)
{
    size_t widest = 0;
    for (const auto& line : lines) {
        size_t chars = 0;
        for (size_t k = 0; k < line.size(); k += std::max<size_t>(1, utf8_character(line, k)))
            ++chars;
        widest = std::max(widest, chars);
    }
    return widest;
}

// One step's row at `y`: its text, wrapped, and its box; where the next
// row may start.
double lay_out_row(Layout& l, const Run& run, Row& row, double y)
{
    const Step& s = run.steps()[row.step];
    row.top = y;
    std::string text = row_text(run, row.step, row.note);
    row.program = s.is<step::Exec>() || s.is<step::Start>();
    // Where it was adopted; a process whose parent the trace does not
    // show learns it from getppid.
    const auto* asked = s.as<step::AskParent>();
    row.adopted = s.is<step::Adopted>() || (asked && asked->before && !process(run, s).adopted);
    row.lines = wrap(text, l.chars, row.note ? kNoteLines : 40);
    row.dot = y + 7;
    double x = l.x_of(s.pid);
    double height = double(row.lines.size()) * kLine + 4;
    row.box = {x + 6, y - 1, l.lane - kLifeline - 12, height};
    if (row.note || row.program)
        l.add_box(row.box, DiagramBox::Kind::note, text);
    else
        l.add_box({x + 9, y, double(widest_line(row.lines)) * kChar, height - 2},
                  DiagramBox::Kind::label, text);
    l.add_box({kGutter - 50, y, 42, kLine}, DiagramBox::Kind::label, "time");
    if (row.note)
        l.mark(Mark::note);
    if (row.program)
        l.mark(Mark::program);
    if (row.adopted)
        l.mark(Mark::adopted);
    return y + height + kRowPad - 2;
}

// Rows of one section, from `y` down; returns where it ends.
double lay_out_rows(Layout& l, const Run& run, Section& section, const std::vector<size_t>& steps,
                    const std::vector<bool>& hidden, const Folds& fold_after,
                    std::map<size_t, int>& arrows_into, double y)
{
    const auto& all = run.steps();
    std::optional<double> last_time;
    for (size_t i : steps) {
        if (hidden[i])
            continue;
        const Step& s = all[i];
        if (last_time && s.time - *last_time > kLongWait) {
            section.breaks.push_back({y + 2, s.time - *last_time});
            l.add_box({4, y + 2 + kBreak / 2 - 9, kGutter - 8 + 10 * kChar, 13},
                      DiagramBox::Kind::label, "break");
            l.mark(Mark::pause);
            y += kBreak + 4;
        }
        last_time = s.time;
        y += arrows_into[i] * kArrowGap + (arrows_into[i] ? 3 : 0);
        Row row{.step = i};
        y = lay_out_row(l, run, row, y);
        if (auto fold = fold_after.find(i); fold != fold_after.end()) {
            row.fold = wrap(fold->second.second, l.chars);
            row.fold_top = y;
            l.add_box({l.x_of(s.pid) + 9, y,
                       double(std::min(fold->second.second.size(), l.chars)) * kChar,
                       double(row.fold.size()) * kLine},
                      DiagramBox::Kind::label, fold->second.second);
            y += double(row.fold.size()) * kLine + kRowPad;
            l.mark(Mark::fold);
            // What the folded rounds were waiting for stays: the last
            // round's time gives the next break its length.
            last_time = all[fold->second.first - 1].time;
        }
        l.row_of[i] = {size_t(&section - l.sections.data()), section.rows.size()};
        section.rows.push_back(std::move(row));
    }
    return y;
}

} // namespace

double Layout::x_of(int pid) const
{
    for (const auto& s : sections)
        for (const Lane& lane : s.lanes)
            if (lane.pid == pid)
                return lane.x;
    return kGutter;
}

const Row* Layout::row(size_t step) const
{
    auto it = row_of.find(step);
    return it == row_of.end() ? nullptr : &sections[it->second.first].rows[it->second.second];
}

void Layout::add_box(Rect r, DiagramBox::Kind kind, std::string what)
{
    boxes.push_back({r.x, r.y, r.width, r.height, kind, std::move(what)});
}

const char* legend_words(Mark m)
{
    switch (m) {
    case Mark::alive:
        return tr("alive");
    case Mark::waiting:
        return tr(
            "blocked in a call while it waited (read, write into a full pipe, wait, open, poll, "
            "pause, sleep)");
    case Mark::zombie:
        return tr("zombie: ended, not yet collected");
    case Mark::fork:
        return tr("fork: a child is born");
    case Mark::data:
        return tr("bytes through a pipe, FIFO or socket, to the read that took them");
    case Mark::collect:
        return tr("a child's end, collected by wait");
    case Mark::signal:
        return tr("a signal, from its cause to its arrival");
    case Mark::stopped:
        return tr("stopped by a signal, until SIGCONT");
    case Mark::note:
        return tr("what a process printed");
    case Mark::program:
        return tr("a program starts: the traced one, or exec");
    case Mark::adopted:
        return tr("adopted: its parent ended, another process is its parent now");
    case Mark::pause:
        return tr("a long pause, drawn short, with its length");
    case Mark::fold:
        return tr("a round repeated unchanged: drawn once, then counted");
    }
    return "";
}

namespace {

// A section per run, a lane for each process with a step among its rows;
// how many lanes the widest has.
size_t lay_out_sections(Layout& l, const Run& run, std::map<int, std::vector<size_t>>& rows_of_run)
{
    const auto& steps = run.steps();
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
                s.lanes.push_back({.pid = p.pid});
        if (rows_of_run.size() > 1)
            s.title = run_title(run, number, *run.process(s.lanes.front().pid));
        most_lanes = std::max(most_lanes, s.lanes.size());
        l.sections.push_back(std::move(s));
    }
    l.lane = std::clamp(std::floor((kWidestDiagram - kGutter - 10) / double(most_lanes)),
                        kNarrowestLane, kWidestLane);
    l.chars = size_t((l.lane - kLifeline - 16) / kChar);
    for (auto& section : l.sections)
        for (size_t i = 0; i < section.lanes.size(); ++i)
            section.lanes[i].x = kGutter + double(i) * l.lane + kLifeline;
    return most_lanes;
}

// A section's title and lane heads at `y`; where its rows start.
double lay_out_heads(Layout& l, const Run& run, Section& section, double y)
{
    if (!section.title.empty()) {
        section.title_y = y + 6;
        l.add_box({10, y - 6, double(section.title.size()) * 7.8, 16}, DiagramBox::Kind::label,
                  section.title);
        y += 22;
    }
    section.head_y = y;
    for (Lane& lane : section.lanes) {
        lane.head = head_lines(*run.process(lane.pid), size_t((l.lane - 30) / kChar));
        section.head_height = std::max(section.head_height, double(lane.head.size()) * kLine + 10);
    }
    for (const Lane& lane : section.lanes)
        l.add_box({lane.x - 10, y, l.lane - 14, section.head_height}, DiagramBox::Kind::header,
                  "lane " + std::to_string(lane.pid));
    return y + section.head_height + 16;
}

Mark mark_of(Arrow::Kind kind)
{
    switch (kind) {
    case Arrow::Kind::fork:
        return Mark::fork;
    case Arrow::Kind::data:
        return Mark::data;
    case Arrow::Kind::collect:
        return Mark::collect;
    case Arrow::Kind::signal:
        return Mark::signal;
    }
    return Mark::fork;
}

// Whether an arrow joins two lanes of one section among the rows drawn.
bool drawn_arrow(const Run& run, const Arrow& a, size_t shown, const std::vector<bool>& hidden)
{
    const auto& steps = run.steps();
    return a.from < shown && a.to < shown && steps[a.from].pid != steps[a.to].pid &&
           !hidden[a.from] && !hidden[a.to] &&
           process(run, steps[a.from]).run == process(run, steps[a.to]).run;
}

// The arrows: from the sender's dot down the left of its lifeline, then
// level, through the gap above the row they point at.
void lay_out_arrows(Layout& l, const Run& run, const std::vector<bool>& hidden)
{
    const auto& steps = run.steps();
    std::map<size_t, int> placed;
    for (const Arrow& a : run.arrows()) {
        const Row* from = a.from < l.shown ? l.row(a.from) : nullptr;
        const Row* to = a.to < l.shown ? l.row(a.to) : nullptr;
        if (!from || !to || !drawn_arrow(run, a, l.shown, hidden))
            continue;
        double level = to->top - 3 - kArrowGap * placed[a.to]++;
        double x1 = l.x_of(steps[a.from].pid) - 6, x2 = l.x_of(steps[a.to].pid);
        l.arrows.push_back({a.kind, x1, from->dot, x2 + (x2 > x1 ? -4 : 4), level});
        l.add_box({std::min(x1, x2) + 1, level - 1, std::abs(x2 - x1) - 2, 2},
                  DiagramBox::Kind::arrow, "arrow");
        l.mark(mark_of(a.kind));
    }
}

// The legend from `y` down: a line for each mark used; the diagram's
// height.
void lay_out_legend(Layout& l, double y)
{
    l.mark(Mark::alive);
    for (size_t m = 0; m < l.marks.size(); ++m) {
        if (!l.marks[m])
            continue;
        Mark mark = Mark(m);
        l.legend.push_back({mark, y});
        std::string words = legend_words(mark);
        if (mark != Mark::adopted)
            l.add_box({50, y - 6, double(words.size()) * kChar, 13}, DiagramBox::Kind::label,
                      words);
        y += kLegendLine;
    }
    l.height = y + 6;
}

} // namespace

Layout lay_out(const Run& run, const std::string& heading)
{
    Layout l;
    l.shown = std::min(run.steps().size(), kDiagramRows);
    l.heading = wrap(heading, size_t((kWidestDiagram - 20) / 8.5));
    std::vector<bool> hidden(l.shown, false);
    auto fold_after = folds(run, l.shown, hidden);
    std::map<int, std::vector<size_t>> rows_of_run;
    size_t most_lanes = lay_out_sections(l, run, rows_of_run);

    // How many arrows come into each row from another lane.
    std::map<size_t, int> arrows_into;
    for (const Arrow& a : run.arrows())
        if (drawn_arrow(run, a, l.shown, hidden))
            ++arrows_into[a.to];

    double y = 24 + double(l.heading.size()) * 17;
    l.add_box({10, 8, double(heading.size()) * 8.5, double(l.heading.size()) * 17},
              DiagramBox::Kind::label, "heading");
    for (auto& section : l.sections) {
        y = lay_out_heads(l, run, section, y);
        y = lay_out_rows(l, run, section, rows_of_run[section.run], hidden, fold_after, arrows_into,
                         y);
        section.bottom = y + 4;
        y = section.bottom + 24;
    }
    for (auto& section : l.sections)
        for (Lane& lane : section.lanes)
            lay_out_lifeline(l, run, section, lane);
    lay_out_arrows(l, run, hidden);
    double legend = y + (l.shown < run.step_count() ? 20 : 0);
    l.not_drawn = run.step_count() - l.shown;
    l.not_drawn_y = legend - 8;
    lay_out_legend(l, legend + 14);
    double widest = kGutter + double(most_lanes) * l.lane + 10;
    l.width = std::max(widest, std::min(kWidestDiagram, 20 + 8.5 * double(heading.size())));
    // A legend longer than a narrow diagram widens it, in any language.
    double legend_width = 0;
    for (const LegendLine& line : l.legend)
        legend_width = std::max(legend_width, double(characters(legend_words(line.mark))) * kChar);
    l.width = std::max(l.width, std::min(60 + legend_width + 1, kWidestDiagram));
    return l;
}

} // namespace timeline::diagram
