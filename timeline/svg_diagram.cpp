// The run as a sequence diagram: one lifeline per process, one row per
// step, time running downward; long waits drawn as a break with their
// length; arrows for forks, for data through pipes and FIFOs, and from a
// child's end to the wait that collected it.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "render.hpp"
#include "svg_style.hpp"
#include "wording.hpp"

namespace timeline {
namespace {

constexpr int kGutter = 70; // the time column
constexpr int kColumn = 330; // one process
constexpr int kLifeline = 16; // lifeline's offset in its column
constexpr int kTop = 92; // first row
constexpr int kRow = 20;
constexpr int kBreak = 30;
constexpr double kLongWait = 0.25; // seconds without a step that get a break
constexpr size_t kLabelChars = 44; // at 6.6 px a character, inside a note's box

// Where everything goes: a row for each step drawn, a band for each break.
struct Layout {
    std::map<int, size_t> column; // pid -> column
    size_t shown = 0; // steps drawn
    std::vector<double> y; // of each step drawn
    std::vector<std::pair<double, double>> breaks; // y of the band, seconds
    double bottom = 0;
    double legend = 0;
    double width = 0;
    double height = 0;
    bool kills = false; // a signal arrow is drawn
    bool stops = false; // a process is stopped

    double x_of(int pid) const { return kGutter + double(column.at(pid)) * kColumn + kLifeline; }
};

Layout lay_out(const Run& run, const std::string& heading)
{
    const auto& steps = run.steps();
    Layout l;
    l.shown = std::min(steps.size(), kDiagramRows);
    // A lane for each process with a step among the rows drawn, in the
    // order the processes appeared.
    std::map<int, bool> drawn;
    for (size_t i = 0; i < l.shown; ++i)
        drawn[steps[i].pid] = true;
    for (const Process& p : run.processes())
        if (drawn.count(p.pid) != 0)
            l.column.emplace(p.pid, l.column.size());
    // Rows, with a break before a step that came long after the one before.
    double at = kTop;
    for (size_t i = 0; i < l.shown; ++i) {
        if (i > 0 && steps[i].time - steps[i - 1].time > kLongWait) {
            l.breaks.emplace_back(at - kRow / 2.0 + 2, steps[i].time - steps[i - 1].time);
            at += kBreak;
        }
        l.y.push_back(at);
        at += kRow;
    }
    l.bottom = at + 6;
    l.legend = l.bottom + 30 + (l.shown < run.step_count() ? 20 : 0);
    l.width = std::max(kGutter + double(std::max<size_t>(l.column.size(), 1)) * kColumn + 10,
                       30 + 9 * double(heading.size())); // 14 px bold
    for (const Arrow& a : run.arrows())
        l.kills = l.kills || (a.kind == Arrow::Kind::signal && a.to < l.shown &&
                              steps[a.from].pid != steps[a.to].pid);
    for (size_t i = 0; i < l.shown; ++i)
        l.stops = l.stops || steps[i].is<step::Stopped>();
    l.height = l.legend + (5 + int(l.kills) + int(l.stops)) * 16 + 10;
    return l;
}

void draw_frame(std::string& svg, const Layout& l, const std::string& title,
                const std::string& heading)
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
    svg += "<text x=\"10\" y=\"20\" font-size=\"14\" font-weight=\"bold\">" +
           escape_markup(heading) + "</text>\n";
    svg += "<text x=\"10\" y=\"" + svg_number(kTop - 8) + "\" fill=\"" + kColour.faint +
           "\">seconds</text>\n";
}

void draw_lifeline(std::string& svg, const Run& run, const Layout& l, const Process& p)
{
    const auto& steps = run.steps();
    double x = l.x_of(p.pid);
    double left = x - kLifeline + 6;
    std::string name = p.programs.empty() ? p.program : p.programs.front().second;
    svg += "<rect x=\"" + svg_number(left) + "\" y=\"32\" width=\"" + svg_number(kColumn - 14) +
           "\" height=\"36\" rx=\"4\" fill=\"" + kColour.head_fill + "\" stroke=\"" +
           kColour.head_edge + "\"/>\n";
    svg += "<text x=\"" + svg_number(left + 6) + "\" y=\"47\" font-weight=\"bold\">" +
           escape_markup(fit(name, 34)) + "</text>\n";
    svg += "<text x=\"" + svg_number(left + 6) + "\" y=\"61\" fill=\"#333\">pid " +
           std::to_string(p.pid) +
           (p.thread_of ? ", thread " + std::to_string(p.thread_number) + " of " +
                              std::to_string(p.thread_of)
            : p.child ? ", child of " + std::to_string(p.parent)
                      : "") +
           "</text>\n";

    // The first row of this process among those drawn.
    auto first = std::find_if(steps.begin(), steps.begin() + long(l.shown),
                              [&](const Step& s) { return s.pid == p.pid; });
    if (first == steps.begin() + long(l.shown))
        return;
    auto line = [&](double y1, double y2, const char* colour, const char* extra) {
        svg += "<line x1=\"" + svg_number(x) + "\" y1=\"" + svg_number(y1) + "\" x2=\"" +
               svg_number(x) + "\" y2=\"" + svg_number(y2) + "\" stroke=\"" + colour + "\"" +
               extra + "/>\n";
    };
    auto foot = [&](const char* colour, const char* words) {
        svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(l.bottom + 14) +
               "\" fill=\"" + colour + "\" font-style=\"italic\">" + words + "</text>\n";
    };
    double alive_end = p.end_step && *p.end_step < l.shown ? l.y[*p.end_step] : l.bottom;
    line(l.y[size_t(first - steps.begin())], alive_end, kColour.alive, " stroke-width=\"2\"");
    // Stopped by a signal: a wide pale band over the lifeline until SIGCONT.
    std::optional<double> stopped_at;
    for (size_t i = 0; i < l.shown; ++i) {
        if (steps[i].pid != p.pid)
            continue;
        if (steps[i].is<step::Stopped>())
            stopped_at = l.y[i];
        const auto* signal = steps[i].as<step::Signal>();
        if (stopped_at && signal && signal->resumes) {
            line(*stopped_at, l.y[i], kColour.stopped,
                 " stroke-width=\"7\" stroke-opacity=\"0.7\"");
            stopped_at.reset();
        }
    }
    if (stopped_at)
        line(*stopped_at, alive_end, kColour.stopped, " stroke-width=\"7\" stroke-opacity=\"0.7\"");
    if (!p.ended) {
        foot(kColour.alive, "still running at the end");
    } else if (p.child) {
        double zombie_end =
            p.collect_step && *p.collect_step < l.shown ? l.y[*p.collect_step] : l.bottom;
        line(alive_end, zombie_end, kColour.zombie, " stroke-width=\"2\" stroke-dasharray=\"2 4\"");
        if (!p.collected)
            foot(kColour.zombie, "zombie, never collected");
    }
}

// A long wait or sleep: a band across the diagram, with its length.
void draw_breaks(std::string& svg, const Layout& l)
{
    for (const auto& [band, seconds] : l.breaks) {
        svg += "<rect x=\"0\" y=\"" + svg_number(band) + "\" width=\"" + svg_number(l.width) +
               "\" height=\"" + svg_number(kBreak - 4) + "\" fill=\"" + kColour.break_fill +
               "\" fill-opacity=\"0.85\"/>\n";
        svg += "<path d=\"M0," + svg_number(band) + " H" + svg_number(l.width) + " M0," +
               svg_number(band + kBreak - 4) + " H" + svg_number(l.width) + "\" stroke=\"" +
               kColour.break_edge + "\" stroke-dasharray=\"6 4\"/>\n";
        svg += "<text x=\"" + svg_number(kGutter) + "\" y=\"" +
               svg_number(band + kBreak / 2.0 + 2) +
               "\" fill=\"#555\" font-style=\"italic\">\xe2\x80\xa6 " +
               escape_markup(seconds_text(seconds)) + " later \xe2\x80\xa6</text>\n";
    }
}

// Arrows, under the labels. Only data arrows carry words (the pipe and the
// bytes), near the reader's end; the legend says what the others are.
void draw_arrows(std::string& svg, const Run& run, const Layout& l)
{
    const auto& steps = run.steps();
    for (const Arrow& a : run.arrows()) {
        if (a.from >= l.shown || a.to >= l.shown || steps[a.from].pid == steps[a.to].pid)
            continue;
        double x1 = l.x_of(steps[a.from].pid), y1 = l.y[a.from];
        double x2 = l.x_of(steps[a.to].pid), y2 = l.y[a.to];
        const char* id = a.kind == Arrow::Kind::fork      ? "fork"
                         : a.kind == Arrow::Kind::data    ? "data"
                         : a.kind == Arrow::Kind::collect ? "collect"
                                                          : "signal";
        const char* colour = a.kind == Arrow::Kind::fork      ? kColour.fork
                             : a.kind == Arrow::Kind::data    ? kColour.data
                             : a.kind == Arrow::Kind::collect ? kColour.collect
                                                              : kColour.signal;
        double dir = x2 > x1 ? 1 : -1;
        svg += "<line x1=\"" + svg_number(x1 + 4 * dir) + "\" y1=\"" + svg_number(y1) + "\" x2=\"" +
               svg_number(x2 - 4 * dir) + "\" y2=\"" + svg_number(y2) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1.5\"" +
               (a.kind == Arrow::Kind::collect  ? " stroke-dasharray=\"5 3\""
                : a.kind == Arrow::Kind::signal ? " stroke-dasharray=\"1 3\""
                                                : "") +
               " marker-end=\"url(#" + id + ")\"/>\n";
        if (a.kind != Arrow::Kind::data)
            continue;
        std::string label = (a.channel ? run.channels()[*a.channel].name + ": " : "") +
                            plural(a.bytes, "byte", "bytes");
        svg += "<text x=\"" + svg_number(x1 + (x2 - x1) * 0.7) + "\" y=\"" +
               svg_number(y1 + (y2 - y1) * 0.7 - 4) + "\" text-anchor=\"middle\" fill=\"" + colour +
               "\" stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\">" +
               escape_markup(label) + "</text>\n";
    }
}

const char* colour_of(const Step& s)
{
    if (s.is<step::Exec>() || s.is<step::Start>())
        return kColour.exec;
    if (s.is<step::Signal>() || s.is<step::Ended>() || s.is<step::Zombie>() ||
        (!s.error.empty() && !s.is<step::MakeFifo>()))
        return kColour.error;
    return kColour.text;
}

// A step: a dot on the lifeline, the time, and what happened; what a
// process printed stands in a note, and a new program in a box.
void draw_step(std::string& svg, const Run& run, const Layout& l, size_t i, bool with_time)
{
    const Step& s = run.steps()[i];
    double x = l.x_of(s.pid);
    double y = l.y[i];
    std::string text = describe(run, i);
    if (with_time) {
        char t[32];
        (void)std::snprintf(t, sizeof t, "%.3f", s.time);
        svg += "<text x=\"" + svg_number(kGutter - 8) + "\" y=\"" + svg_number(y + 4) +
               "\" text-anchor=\"end\" fill=\"" + kColour.faint + "\">" + t + "</text>\n";
    }
    const char* colour = colour_of(s);
    svg += "<g><title>" + escape_markup(std::to_string(s.pid) + ": " + text) + "</title>\n";
    svg += "<circle cx=\"" + svg_number(x) + "\" cy=\"" + svg_number(y) + "\" r=\"3.5\" fill=\"" +
           colour + "\"/>\n";
    auto box = [&](const char* fill, const char* edge) {
        svg += "<rect x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(y - 8) + "\" width=\"" +
               svg_number(double(kColumn - kLifeline - 8)) + "\" height=\"16\" rx=\"3\" fill=\"" +
               fill + "\" stroke=\"" + edge + "\"/>\n";
    };
    const step::Transfer* output = printed(run, s);
    if (output)
        box(kColour.note_fill, kColour.note_edge);
    if (s.is<step::Exec>() || s.is<step::Start>())
        box(kColour.exec_fill, kColour.exec_edge);
    std::string label = output ? "prints \"" + escape_bytes(output->data, 60) + "\"" : text;
    // A white halo keeps the words readable where an arrow passes.
    svg += "<text x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(y + 4) + "\" fill=\"" +
           colour + "\" stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\">" +
           escape_markup(fit(label, kLabelChars)) + "</text></g>\n";
}

void draw_legend(std::string& svg, const Layout& l)
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
        ly += 16;
    };
    sample(kColour.alive, "", "", "alive");
    sample(kColour.zombie, "2 4", "", "zombie: ended, not yet collected");
    sample(kColour.fork, "", "fork", "fork");
    sample(kColour.data, "", "data", "bytes through a pipe or FIFO");
    sample(kColour.collect, "5 3", "collect", "end collected by wait");
    // The marks that only some runs have, where this one has them.
    if (l.kills)
        sample(kColour.signal, "1 3", "signal", "signal sent by kill");
    if (l.stops)
        sample(kColour.stopped, "", "", "stopped by a signal, until SIGCONT", "7");
    svg += "</g>\n";
}

} // namespace

std::string svg_diagram(const Run& run, const std::string& title)
{
    std::string heading = title + ": system calls, time running downward";
    Layout l = lay_out(run, heading);
    std::string svg;
    draw_frame(svg, l, title, heading);
    for (const Process& p : run.processes())
        if (l.column.count(p.pid) != 0)
            draw_lifeline(svg, run, l, p);
    draw_breaks(svg, l);
    draw_arrows(svg, run, l);
    double last_time_y = -100;
    for (size_t i = 0; i < l.shown; ++i) {
        bool with_time = l.y[i] - last_time_y >= kRow;
        if (with_time)
            last_time_y = l.y[i];
        draw_step(svg, run, l, i, with_time);
    }
    if (l.shown < run.step_count())
        svg += "<text x=\"10\" y=\"" + svg_number(l.bottom + 34) + "\" fill=\"" + kColour.error +
               "\">\xe2\x80\xa6 " + std::to_string(run.step_count() - l.shown) +
               " more steps not drawn: see the timeline</text>\n";
    draw_legend(svg, l);
    svg += "</svg>\n";
    return svg;
}

} // namespace timeline
