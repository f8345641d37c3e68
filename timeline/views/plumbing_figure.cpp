// The plumbing at one moment as a textbook draws it, in three tables: each
// process a box holding its descriptor table; under them the open file
// descriptions the descriptors point at (two descriptors, one description
// after a fork or a dup); under those the objects (a pipe with the bytes
// in it, a FIFO, a file, the terminal). Arrows go the way bytes go. A
// zombie is greyed; an exec'd process is named by its new program.
#include "views/plumbing_figure.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "views/plumbing_parts.hpp"
#include "views/svg_style.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

using plumbing_parts::entry_name;
using plumbing_parts::entry_text;
using plumbing_parts::process_name;

constexpr double kMargin = 20;
constexpr double kGap = 50; // between boxes
constexpr double kWidestFigure = 1100;
constexpr double kHeader = 26;
constexpr double kEntry = 18;
constexpr double kChannelWidth = 130;
constexpr double kChannelHeight = 34;
constexpr double kDescriptionDrop = 60; // from the boxes' bottom to the descriptions
constexpr double kDescriptionWidth = 150;
constexpr double kDescriptionHeight = 38;
constexpr double kObjectDrop = 50; // from the descriptions to the objects
constexpr size_t kCaptionChars = 120;

// Where the figure puts things: the processes in a row, their open file
// descriptions under them, and under those the objects the descriptions
// are open on.
struct Figure {
    double box_width = 0;
    double top = kMargin + 24;
    double box_height = 0;
    double boxes_bottom = 0;
    double description_y = 0;
    double description_width = 0;
    double object_y = 0;
    double width = 0;
    double height = 0;
    double caption_y = 0;
    std::vector<size_t> descriptions; // in the order the tables point at them
    std::map<size_t, double> description_x;
    std::vector<std::string> objects; // by name, in the order the descriptions name them
    std::map<std::string, double> object_x;
    std::map<std::string, const WorldObject*> object_of;
    std::vector<std::string> caption; // its lines, escaped
};

const WorldDescription* description_of(const PlumbingMoment& m, size_t id)
{
    auto it = m.world.descriptions.find(id);
    return it == m.world.descriptions.end() ? nullptr : &it->second;
}

// Boxes of one width in a row, centred in the figure; their left edges.
std::map<size_t, double> row_of(size_t n, double box, double gap, double width)
{
    std::map<size_t, double> x;
    double row = double(n) * box + double(n > 0 ? n - 1 : 0) * gap;
    for (size_t i = 0; i < n; ++i)
        x[i] = (width - row) / 2 + double(i) * (box + gap);
    return x;
}

Figure lay_out_figure(const PlumbingMoment& m, const std::string& title)
{
    Figure f;
    size_t n = std::max<size_t>(1, m.processes.size());
    f.box_width = std::min(260.0, (kWidestFigure - 2 * kMargin - kGap * double(n - 1)) / double(n));
    size_t rows = 1; // a zombie's line
    for (const auto& p : m.processes)
        rows = std::max(rows, p.fds.size());
    // Room at the bottom of each box for the names of its ports, inside,
    // so that no arrow leaving a port crosses a name.
    f.box_height = kHeader + double(rows) * kEntry + 10 + 16;
    f.boxes_bottom = f.top + f.box_height;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds) {
            if (std::find(f.descriptions.begin(), f.descriptions.end(), e.description) ==
                f.descriptions.end())
                f.descriptions.push_back(e.description);
            std::string name = entry_name(e);
            if (!name.empty() &&
                std::find(f.objects.begin(), f.objects.end(), name) == f.objects.end())
                f.objects.push_back(name);
            if (const auto* d = description_of(m, e.description); d && d->object && !name.empty())
                if (auto o = m.world.objects.find(*d->object); o != m.world.objects.end())
                    f.object_of.emplace(name, &o->second);
        }
    f.description_y = f.boxes_bottom + kDescriptionDrop;
    f.object_y = f.description_y + kDescriptionHeight + kObjectDrop;
    double descriptions = double(f.descriptions.size());
    double objects = double(f.objects.size());
    f.width = std::max({2 * kMargin + double(n) * f.box_width + kGap * double(n - 1),
                        2 * kMargin + descriptions * (kDescriptionWidth + 14),
                        2 * kMargin + objects * (kChannelWidth + 30)});
    // Room for the title (bold, about 8.5 px a character) and a readable
    // caption.
    f.width = std::min(std::max({f.width, 2 * kMargin + 8.5 * double(title.size()), 480.0}),
                       kWidestFigure);
    f.description_width = std::min(
        kDescriptionWidth, (f.width - 2 * kMargin) / std::max(1.0, descriptions) - 14);
    f.caption =
        wrap(plumbing_caption(m), std::min(kCaptionChars, size_t((f.width - 2 * kMargin) / 6.8)));
    for (auto& line : f.caption)
        line = escape_markup(line);
    bool any = !f.descriptions.empty();
    f.caption_y = (any ? (f.objects.empty() ? f.description_y + kDescriptionHeight
                                            : f.object_y + kChannelHeight)
                       : f.boxes_bottom) +
                  30;
    f.height = f.caption_y + double(f.caption.size()) * 17 + kMargin;
    // Each description under the descriptors that point at it, each
    // object under its descriptions, as far as a row allows: fewer lines
    // cross.
    std::map<size_t, std::pair<double, int>> near; // description: sum of port x, count
    for (size_t i = 0; i < m.processes.size(); ++i) {
        const auto& fds = m.processes[i].fds;
        double x = kMargin + double(i) * (f.box_width + kGap);
        for (size_t k = 0; k < fds.size(); ++k) {
            auto& [sum, count] = near[fds[k].description];
            sum += x + f.box_width * double(k + 1) / double(fds.size() + 1);
            ++count;
        }
    }
    auto mean = [&](size_t id) { return near[id].first / std::max(1, near[id].second); };
    std::stable_sort(f.descriptions.begin(), f.descriptions.end(),
                     [&](size_t a, size_t b) { return mean(a) < mean(b); });
    auto dx = row_of(f.descriptions.size(), f.description_width, 14, f.width);
    for (size_t i = 0; i < f.descriptions.size(); ++i)
        f.description_x[f.descriptions[i]] = dx[i];
    std::map<std::string, std::pair<double, int>> under;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (std::string name = entry_name(e); !name.empty()) {
                auto& [sum, count] = under[name];
                sum += f.description_x[e.description];
                ++count;
            }
    auto middle = [&](const std::string& o) { return under[o].first / std::max(1, under[o].second); };
    std::stable_sort(f.objects.begin(), f.objects.end(),
                     [&](const std::string& a, const std::string& b) { return middle(a) < middle(b); });
    auto ox = row_of(f.objects.size(), kChannelWidth, 30, f.width);
    for (size_t i = 0; i < f.objects.size(); ++i)
        f.object_x[f.objects[i]] = ox[i];
    return f;
}

// A line with its arrow heads: `to` at its end, `from` at its start.
void draw_line(std::string& svg, double x1, double y1, double x2, double y2, bool to, bool from)
{
    svg += "<line x1=\"" + svg_number(x1) + "\" y1=\"" + svg_number(y1) + "\" x2=\"" +
           svg_number(x2) + "\" y2=\"" + svg_number(y2) + "\" stroke=\"" + kColour.data +
           "\" stroke-width=\"1.6\"" + (to ? " marker-end=\"url(#flow)\"" : "") +
           (from ? " marker-start=\"url(#flow)\"" : "") + "/>\n";
}

// Which way bytes go through a description: into what it is open on
// (a write end), out of it (a read end), both, or not told.
std::pair<bool, bool> directions(const WorldDescription* d)
{
    if (!d || !d->access)
        return {false, false};
    bool in = *d->access != Access::read;
    bool out = *d->access != Access::write;
    return {in, out};
}

// A port on the box's bottom edge, its line to the description and its
// name.
void draw_port(std::string& svg, const Figure& f, const PlumbingMoment& m, const TableEntry& e,
               double px)
{
    double dx = f.description_x.at(e.description) + f.description_width / 2;
    auto [in, out] = directions(description_of(m, e.description));
    draw_line(svg, px, f.boxes_bottom, dx, f.description_y, in, out);
    svg += "<circle cx=\"" + svg_number(px) + "\" cy=\"" + svg_number(f.boxes_bottom) +
           "\" r=\"2.5\" fill=\"" + kColour.data + "\"/>\n";
    svg += "<text x=\"" + svg_number(px) + "\" y=\"" + svg_number(f.boxes_bottom - 5) +
           "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" + kColour.faint + "\">" +
           std::to_string(e.fd) + "</text>\n";
}

// A process's box: its name, its descriptors, and a port for each.
void draw_process(std::string& svg, const Figure& f, const PlumbingMoment& m,
                  const ProcessTable& p, double x)
{
    svg += "<g class=\"process\" data-pid=\"" + std::to_string(p.pid) + "\">\n";
    svg += "<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(f.top) + "\" width=\"" +
           svg_number(f.box_width) + "\" height=\"" + svg_number(f.box_height) +
           "\" rx=\"6\" fill=\"" + (p.zombie ? kColour.zombie_fill : kColour.head_fill) +
           "\" stroke=\"" + (p.zombie ? kColour.zombie_edge : kColour.head_edge) + "\"" +
           (p.zombie ? " stroke-dasharray=\"5 3\"" : "") + "/>\n";
    std::string name = process_name(p) + (p.zombie ? " (zombie)" : "");
    svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(f.top + 17) +
           "\" font-weight=\"bold\" fill=\"" + (p.zombie ? kColour.faint : kColour.text) + "\">" +
           escape_markup(fit(name, size_t(f.box_width / 7.5))) + "</text>\n";
    if (p.zombie)
        svg += "<text x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(f.top + kHeader + 12) +
               "\" fill=\"" + kColour.faint + "\">" +
               escape_markup(fit("all closed; waits to be collected", size_t(f.box_width / 6.8))) +
               "</text>\n";
    for (size_t k = 0; k < p.fds.size(); ++k) {
        const auto& e = p.fds[k];
        double y = f.top + kHeader + double(k) * kEntry + 12;
        svg += "<text class=\"fd\" data-fd=\"" + std::to_string(e.fd) + "\" data-description=\"" +
               std::to_string(e.description) + "\" x=\"" + svg_number(x + 10) + "\" y=\"" +
               svg_number(y) + "\" fill=\"" + (e.channel ? kColour.text : kColour.faint) + "\">" +
               escape_markup(fit(entry_text(e), size_t(f.box_width / 6.8))) + "</text>\n";
        draw_port(svg, f, m, e, x + f.box_width * double(k + 1) / double(p.fds.size() + 1));
    }
    svg += "</g>\n";
}

// An open file description: its mode and flags, its offset, how many
// descriptors point at it; and its line to what it is open on.
void draw_description(std::string& svg, const Figure& f, const PlumbingMoment& m,
                      const std::vector<ProcessTable>& tables, size_t id)
{
    const WorldDescription* d = description_of(m, id);
    WorldDescription shown = d ? *d : WorldDescription{.outside = true};
    std::string object;
    for (const auto& p : tables)
        for (const auto& e : p.fds)
            if (e.description == id && object.empty())
                object = entry_name(e);
    double x = f.description_x.at(id);
    size_t chars = size_t(f.description_width / 6.2);
    svg += "<g class=\"description\" data-id=\"" + std::to_string(id) + "\" data-refs=\"" +
           std::to_string(shown.refs) + "\"" +
           (shown.offset ? " data-offset=\"" + std::to_string(*shown.offset) + "\"" : "") +
           " data-flags=\"" + escape_markup(shown.flags) + "\" data-object=\"" +
           escape_markup(object) + "\">\n";
    svg += "<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(f.description_y) +
           "\" width=\"" + svg_number(f.description_width) + "\" height=\"" +
           svg_number(kDescriptionHeight) + "\" fill=\"white\" stroke=\"" + kColour.faint +
           "\"" + (shown.refs > 1 ? " stroke-width=\"2\"" : "") + "/>\n";
    svg += "<text x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(f.description_y + 15) +
           "\" font-size=\"11\" fill=\"" + kColour.text + "\">" +
           escape_markup(fit(description_mode(shown), chars)) + "</text>\n";
    svg += "<text x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(f.description_y + 30) +
           "\" font-size=\"11\" fill=\"" + kColour.faint + "\">" +
           escape_markup(fit(description_detail(shown), chars)) + "</text>\n";
    if (!object.empty()) {
        auto [in, out] = directions(d);
        draw_line(svg, x + f.description_width / 2, f.description_y + kDescriptionHeight,
                  f.object_x.at(object) + kChannelWidth / 2, f.object_y, in, out);
    }
    svg += "</g>\n";
}

// What the descriptions are open on: a pipe with the bytes in it, a FIFO,
// a file, the terminal.
void draw_object(std::string& svg, const Figure& f, const std::string& name)
{
    double x = f.object_x.at(name);
    auto known = f.object_of.find(name);
    const WorldObject* o = known == f.object_of.end() ? nullptr : known->second;
    bool data = o && o->channel.carries_data();
    svg += "<g class=\"channel\">\n<rect x=\"" + svg_number(x) + "\" y=\"" +
           svg_number(f.object_y) + "\" width=\"" + svg_number(kChannelWidth) + "\" height=\"" +
           svg_number(kChannelHeight) + "\" rx=\"" + (data ? "17" : "3") + "\" fill=\"" +
           (data ? kColour.data_fill : kColour.head_fill) + "\" stroke=\"" +
           (data ? kColour.data : kColour.head_edge) + "\" stroke-width=\"1.5\"/>\n";
    bool bytes = data && o->channel.kind != Channel::Kind::socket;
    svg += "<text x=\"" + svg_number(x + kChannelWidth / 2) + "\" y=\"" +
           svg_number(f.object_y + (bytes ? 14 : kChannelHeight / 2 + 4)) +
           "\" text-anchor=\"middle\" fill=\"" + kColour.text + "\">" +
           escape_markup(fit(name, 18)) + "</text>\n";
    if (bytes)
        svg += "<text class=\"in-flight\" x=\"" + svg_number(x + kChannelWidth / 2) + "\" y=\"" +
               svg_number(f.object_y + 28) + "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" +
               kColour.faint + "\">" + escape_markup(fit(in_flight_text(*o), 24)) + "</text>\n";
    svg += "</g>\n";
}

} // namespace

std::string plumbing_svg(const PlumbingMoment& m, const std::string& title)
{
    Figure f = lay_out_figure(m, title);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      svg_number(f.width) + "\" height=\"" + svg_number(f.height) +
                      "\" viewBox=\"0 0 " + svg_number(f.width) + " " + svg_number(f.height) +
                      "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"12\">\n"
                      "<defs><marker id=\"flow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" "
                      "markerWidth=\"7\" markerHeight=\"7\" orient=\"auto-start-reverse\">"
                      "<path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
                      std::string(kColour.data) + "\"/></marker></defs>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + svg_number(kMargin) + "\" y=\"" + svg_number(kMargin + 8) +
           "\" font-size=\"14\" font-weight=\"bold\" fill=\"" + kColour.text + "\">" +
           escape_markup(title) + "</text>\n";
    for (size_t i = 0; i < m.processes.size(); ++i)
        draw_process(svg, f, m, m.processes[i], kMargin + double(i) * (f.box_width + kGap));
    for (size_t id : f.descriptions)
        draw_description(svg, f, m, m.processes, id);
    for (const auto& object : f.objects)
        draw_object(svg, f, object);
    for (size_t i = 0; i < f.caption.size(); ++i)
        svg += "<text class=\"caption\" x=\"" + svg_number(kMargin) + "\" y=\"" +
               svg_number(f.caption_y + double(i) * 17) + "\" fill=\"" + kColour.text + "\">" +
               f.caption[i] + "</text>\n";
    svg += "</svg>\n";
    return svg;
}

std::vector<std::string> plumbing_figures(const Run& run, const std::string& title)
{
    // A moment whose tables look like an earlier one's (the classifier
    // with its next writer) is drawn once.
    std::vector<const PlumbingMoment*> moments;
    std::vector<std::string> seen;
    for (const auto& moment : run.plumbing()) {
        if (run.runs() > 1 && run.process(moment.pid)->run != 1)
            continue;
        std::string shape = std::to_string(int(moment.change));
        std::map<size_t, size_t> shared; // each description by its first place in the tables
        for (const auto& table : moment.processes) {
            shape += table.zombie ? "|z" : "|";
            for (const auto& entry : table.fds)
                shape += std::to_string(entry.fd) + entry_name(entry) +
                         std::to_string(int(entry.end)) + "d" +
                         std::to_string(shared.try_emplace(entry.description, shared.size())
                                            .first->second) +
                         ",";
        }
        if (std::find(seen.begin(), seen.end(), shape) != seen.end())
            continue;
        seen.push_back(shape);
        moments.push_back(&moment);
    }
    std::string heading = title + ": the descriptor tables" +
                          (run.runs() > 1 ? " of run 1 (the other runs' are alike)" : "") + ", ";
    std::string count = " of " + std::to_string(moments.size());
    std::vector<std::string> svgs;
    for (size_t i = 0; i < moments.size(); ++i) {
        std::string figure_title = heading;
        figure_title += std::to_string(i + 1);
        figure_title += count;
        svgs.push_back(plumbing_svg(*moments[i], figure_title));
    }
    return svgs;
}

} // namespace timeline
