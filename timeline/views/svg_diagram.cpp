// The sequence diagram drawn from its layout (svg_layout.hpp): every
// place is the layout's; here only shapes, colours and words.
#include "views/svg_diagram.hpp"

#include <cstdio>

#include "base/language.hpp"

#include "views/svg_layout.hpp"
#include "views/svg_style.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

using namespace diagram;

// How each kind of arrow is drawn: its marker's id, its colour, its dashes.
struct ArrowStyle {
    const char* id;
    const char* colour;
    const char* dash;
};

ArrowStyle style_of(Arrow::Kind kind)
{
    switch (kind) {
    case Arrow::Kind::fork:
        return {"fork", kColour.fork, ""};
    case Arrow::Kind::data:
        return {"data", kColour.data, ""};
    case Arrow::Kind::collect:
        return {"collect", kColour.collect, "5 3"};
    case Arrow::Kind::signal:
        return {"signal", kColour.signal, "1 3"};
    }
    return {"fork", kColour.fork, ""};
}

constexpr Arrow::Kind kArrowKinds[] = {Arrow::Kind::fork, Arrow::Kind::data, Arrow::Kind::collect,
                                       Arrow::Kind::signal};

void draw_frame(std::string& svg, const Layout& l, const std::string& title)
{
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svg_number(l.width) +
           "\" height=\"" + svg_number(l.height) + "\" viewBox=\"0 0 " + svg_number(l.width) + " " +
           svg_number(l.height) +
           "\" font-family=\"DejaVu Sans Mono, monospace\" font-size=\"11\" xml:space=\"preserve\" "
           "style=\"white-space: pre\">\n"; // the blanks of a message are part of it
    svg += "<title>" + escape_markup(fill(tr("{1}: system calls"), {title})) + "</title>\n<defs>\n";
    for (Arrow::Kind kind : kArrowKinds)
        svg += std::string("<marker id=\"") + style_of(kind).id +
               "\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
               "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
               style_of(kind).colour + "\"/></marker>\n";
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

void line(std::string& svg, double x, const Stretch& along, const char* colour,
          const std::string& extra)
{
    svg += "<line x1=\"" + svg_number(x) + "\" y1=\"" + svg_number(along.top) + "\" x2=\"" +
           svg_number(x) + "\" y2=\"" + svg_number(along.bottom) + "\" stroke=\"" + colour + "\"" +
           extra + "/>\n";
}

void draw_lane(std::string& svg, const Layout& l, const Section& section, const Lane& lane)
{
    double x = lane.x;
    svg += "<rect class=\"lane\" x=\"" + svg_number(x - 10) + "\" y=\"" +
           svg_number(section.head_y) + "\" width=\"" + svg_number(l.lane - 14) + "\" height=\"" +
           svg_number(section.head_height) + "\" rx=\"4\" fill=\"" + kColour.head_fill +
           "\" stroke=\"" + kColour.head_edge + "\"/>\n";
    text_lines(svg, x - 4, section.head_y + 15, {lane.head.front()}, " font-weight=\"bold\"");
    text_lines(svg, x - 4, section.head_y + 15 + kLine, {lane.head.begin() + 1, lane.head.end()},
               std::string(" fill=\"#333\""));
    if (!lane.alive)
        return;
    line(svg, x, *lane.alive, kColour.alive, " stroke-width=\"2\"");
    for (const Stretch& wait : lane.waits)
        svg += "<rect x=\"" + svg_number(x - 3) + "\" y=\"" + svg_number(wait.top) +
               "\" width=\"6\" height=\"" + svg_number(wait.bottom - wait.top) + "\" fill=\"" +
               kColour.waiting + "\"><title>" + escape_markup(wait.title) + "</title></rect>\n";
    for (const Stretch& stop : lane.stops)
        line(svg, x, stop, kColour.stopped, " stroke-width=\"7\" stroke-opacity=\"0.7\"");
    if (lane.zombie)
        line(svg, x, *lane.zombie, kColour.zombie, " stroke-width=\"2\" stroke-dasharray=\"2 4\"");
    if (!lane.foot.empty())
        svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(section.bottom + 12) +
               "\" fill=\"" + (lane.foot_mark == Mark::zombie ? kColour.zombie : kColour.alive) +
               "\" font-style=\"italic\">" + escape_markup(lane.foot) + "</text>\n";
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
               "\" fill=\"#555\" font-style=\"italic\">" +
               escape_markup(fill(tr("… {1} later …"), {seconds_text(seconds)})) + "</text>\n";
    }
}

void draw_arrows(std::string& svg, const Layout& l)
{
    for (const ArrowPath& a : l.arrows) {
        ArrowStyle style = style_of(a.kind);
        svg += "<path d=\"M" + svg_number(a.x1) + "," + svg_number(a.y1) + " V" +
               svg_number(a.level) + " H" + svg_number(a.x2) + "\" fill=\"none\" stroke=\"" +
               style.colour + "\" stroke-width=\"1.5\"" +
               (style.dash[0] ? std::string(" stroke-dasharray=\"") + style.dash + "\"" : "") +
               " marker-end=\"url(#" + style.id + ")\"/>\n";
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
    // A search along PATH that found the program did not fail either.
    const auto* search = s.as<step::ExecFailed>();
    if (!s.error.empty() && !s.is<step::MakeFifo>() && !s.error.starts_with("ERESTART") &&
        !(search && search->found))
        return kColour.error;
    return kColour.text;
}

void diamond(std::string& svg, double x, double y)
{
    svg += "<path d=\"M" + svg_number(x) + "," + svg_number(y) + " l6,6 l-6,6 l-6,-6 z\" fill=\"" +
           kColour.adopted + "\"/>\n";
}

// A step: a dot on the lifeline (a diamond where it learns it was
// adopted), the time, and what happened; what a process printed stands in
// a note, and a new program in a box.
void draw_row(std::string& svg, const Run& run, const Layout& l, const Row& row)
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
    if (row.adopted)
        diamond(svg, x, row.dot - 6);
    else
        svg += "<circle cx=\"" + svg_number(x) + "\" cy=\"" + svg_number(row.dot) +
               "\" r=\"3.5\" fill=\"" + colour + "\"/>\n";
    if (row.note || row.program)
        svg += "<rect x=\"" + svg_number(row.box.x) + "\" y=\"" + svg_number(row.box.y) +
               "\" width=\"" + svg_number(row.box.width) + "\" height=\"" +
               svg_number(row.box.height) + "\" rx=\"3\" fill=\"" +
               (row.note ? kColour.note_fill : kColour.exec_fill) + "\" stroke=\"" +
               (row.note ? kColour.note_edge : kColour.exec_edge) + "\"/>\n";
    text_lines(svg, x + 10, row.top + 10, row.lines, " fill=\"" + std::string(colour) + "\"");
    svg += "</g>\n";
    if (!row.fold.empty())
        text_lines(svg, x + 10, row.fold_top + 10, row.fold,
                   " fill=\"#555\" font-style=\"italic\"");
}

// A legend line's sample: a stroke, a swatch or a diamond.
void draw_sample(std::string& svg, Mark mark, double y)
{
    constexpr double lx = 10;
    auto stroke = [&](const char* colour, const char* dash, const char* marker, const char* width) {
        svg += "<line x1=\"" + svg_number(lx) + "\" y1=\"" + svg_number(y) + "\" x2=\"" +
               svg_number(lx + 34) + "\" y2=\"" + svg_number(y) + "\" stroke=\"" + colour +
               "\" stroke-width=\"" + width + "\"" +
               (dash[0] ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") +
               (marker[0] ? std::string(" marker-end=\"url(#") + marker + ")\"" : "") + "/>\n";
    };
    auto swatch = [&](const char* fill, const char* edge) {
        svg += "<rect x=\"" + svg_number(lx) + "\" y=\"" + svg_number(y - 6) +
               "\" width=\"34\" height=\"12\" rx=\"3\" fill=\"" + fill + "\" stroke=\"" + edge +
               "\"/>\n";
    };
    switch (mark) {
    case Mark::alive:
        return stroke(kColour.alive, "", "", "2");
    case Mark::waiting:
        return stroke(kColour.waiting, "", "", "6");
    case Mark::zombie:
        return stroke(kColour.zombie, "2 4", "", "2");
    case Mark::fork:
    case Mark::data:
    case Mark::collect:
    case Mark::signal: {
        ArrowStyle style = style_of(Arrow::Kind(int(mark) - int(Mark::fork)));
        return stroke(style.colour, style.dash, style.id, "2");
    }
    case Mark::stopped:
        return stroke(kColour.stopped, "", "", "7");
    case Mark::note:
        return swatch(kColour.note_fill, kColour.note_edge);
    case Mark::program:
        return swatch(kColour.exec_fill, kColour.exec_edge);
    case Mark::adopted:
        return diamond(svg, lx + 17, y - 6);
    case Mark::pause:
        return swatch(kColour.break_fill, kColour.break_edge);
    case Mark::fold:
        return stroke(kColour.faint, "", "", "0");
    }
}

void draw_legend(std::string& svg, const Layout& l)
{
    svg += "<g font-size=\"11\">\n";
    for (const auto& [mark, y] : l.legend) {
        draw_sample(svg, mark, y);
        svg += "<text x=\"50.0\" y=\"" + svg_number(y + 4) + "\">" +
               escape_markup(legend_words(mark)) + "</text>\n";
    }
    svg += "</g>\n";
}

std::string draw(const Run& run, const Layout& l, const std::string& title)
{
    std::string body;
    for (const Section& section : l.sections) {
        if (!section.title.empty())
            body += "<text x=\"10\" y=\"" + svg_number(section.title_y) +
                    "\" font-size=\"13\" font-weight=\"bold\" fill=\"" + kColour.head_edge + "\">" +
                    escape_markup(section.title) + "</text>\n";
        draw_breaks(body, l, section);
        for (const Lane& lane : section.lanes)
            draw_lane(body, l, section, lane);
    }
    draw_arrows(body, l);
    for (const Section& section : l.sections)
        for (const Row& row : section.rows)
            draw_row(body, run, l, row);
    if (l.not_drawn > 0)
        body += "<text x=\"10\" y=\"" + svg_number(l.not_drawn_y) + "\" fill=\"" + kColour.faint +
                "\">" +
                escape_markup(fill(tr("… {1} more steps not drawn: see the timeline"),
                                   {std::to_string(l.not_drawn)})) +
                "</text>\n";
    draw_legend(body, l);
    std::string svg;
    draw_frame(svg, l, title);
    return svg + body + "</svg>\n";
}

std::string heading_of(const std::string& title)
{
    return fill(tr("{1}: system calls, time running downward"), {title});
}

} // namespace

std::vector<DiagramBox> diagram_boxes(const Run& run, const std::string& title)
{
    return lay_out(run, heading_of(title)).boxes;
}

std::string svg_diagram(const Run& run, const std::string& title)
{
    return draw(run, lay_out(run, heading_of(title)), title);
}

} // namespace timeline
