// The plumbing at one moment as a textbook draws it, in three columns:
// each process a box holding its descriptor table; the open file
// descriptions the descriptors point at (two descriptors, one description
// after a fork or a dup); the objects (a pipe with the bytes in it, a
// FIFO, a file, the terminal). Arrows go the way bytes go. A zombie is
// greyed; an exec'd process is named by its new program.
#include "views/plumbing_figure.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/language.hpp"
#include "views/plumbing_parts.hpp"
#include "views/svg_style.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

using plumbing_parts::entry_name;
using plumbing_parts::entry_text;
using plumbing_parts::process_title;

constexpr double kMargin = 20;
constexpr double kHeader = 26;
constexpr double kEntry = 18;
constexpr double kBoxWidth = 250; // a process
constexpr double kBoxGap = 14; // between boxes stacked in a column
constexpr double kToDescriptions = 110; // from the processes to the descriptions
constexpr double kDescriptionWidth = 170;
constexpr double kDescriptionHeight = 36;
constexpr double kToObjects = 80; // from the descriptions to the objects
constexpr double kObjectWidth = 150;
constexpr double kObjectHeight = 36;
constexpr size_t kCaptionChars = 120;

// Where the figure puts things, in three columns as textbooks draw them:
// the processes with their descriptor tables, the open file descriptions
// the descriptors point at, and the objects those are open on.
struct Figure {
    double top = kMargin + 24;
    std::vector<double> box_y; // each process's box, stacked
    std::vector<double> box_height;
    double box_width = kBoxWidth; // wider for a language's longer words
    double description_width = kDescriptionWidth;
    double object_width = kObjectWidth;
    double description_x = 0;
    double object_x = 0;
    double width = 0;
    double height = 0;
    double caption_y = 0;
    std::vector<size_t> descriptions; // top to bottom
    std::map<size_t, double> description_y;
    std::vector<size_t> objects; // by their ids in the world, top to bottom
    std::map<size_t, double> object_y;
    std::vector<std::string> caption; // its lines, escaped
};

// What an entry points at, by the facts that name it (its kind, number
// and path), for telling two moments' tables alike.
std::string what_it_is(const TableEntry& e)
{
    if (!e.channel)
        return "?";
    const Channel& c = *e.channel;
    return std::to_string(int(c.kind)) + "#" + std::to_string(c.number) + (c.pair ? "p" : "") +
           (c.working_folder ? "." : "") + c.path + "@" + std::string(anon_name(c.target));
}

const WorldDescription* description_of(const PlumbingMoment& m, size_t id)
{
    auto it = m.world.descriptions.find(id);
    return it == m.world.descriptions.end() ? nullptr : &it->second;
}

// Where the line of a process's descriptor leaves its box: the right
// edge of the descriptor's row.
double port_y(const Figure& f, size_t process, size_t row)
{
    return f.box_y[process] + kHeader + double(row) * kEntry + 8;
}

// Boxes of `height` in a column, each as near as it can be to where the
// lines that reach it come from (`wanted`, its middle), none overlapping;
// their tops.
template <class Key>
std::map<Key, double> stack(std::vector<Key>& keys, std::map<Key, double> wanted, double height,
                            double top)
{
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const Key& a, const Key& b) { return wanted[a] < wanted[b]; });
    std::map<Key, double> y;
    double next = top;
    for (const Key& k : keys) {
        y[k] = std::max(next, wanted[k] - height / 2);
        next = y[k] + height + 8;
    }
    return y;
}

// The widths of the processes' boxes, of the descriptions and of the
// objects, from what they say.
void size_boxes(Figure& f, const PlumbingMoment& m)
{
    double box = 0, description = 0, object = 0;
    for (const auto& p : m.processes) {
        box = std::max(box, double(characters(process_title(p))) * 7.5);
        if (p.zombie)
            box = std::max(box, double(characters(tr("all closed; only its entry is left"))) * 6.8);
        for (const auto& e : p.fds)
            box = std::max(box, double(characters(entry_text(e))) * 7.2);
    }
    for (size_t id : f.descriptions) {
        const WorldDescription* d = description_of(m, id);
        WorldDescription shown = d ? *d : WorldDescription{.outside = true};
        for (const std::string& line : {description_mode(shown), description_detail(shown)})
            description = std::max(description, double(characters(line)) * 6.4);
    }
    for (size_t id : f.objects)
        if (auto o = m.world.objects.find(id); o != m.world.objects.end())
            object = std::max(object, double(characters(channel_name(o->second.channel))) * 7.5);
    f.box_width = room(kBoxWidth, box, 2 * kBoxWidth);
    f.object_width = room(kObjectWidth, object, 2 * kObjectWidth);
    f.description_width = room(kDescriptionWidth, description, 2 * kDescriptionWidth);
}

Figure lay_out_figure(const PlumbingMoment& m, const std::string& title)
{
    Figure f;
    double y = f.top;
    for (const auto& p : m.processes) {
        double h = kHeader + double(std::max<size_t>(1, p.fds.size())) * kEntry + 6;
        f.box_y.push_back(y);
        f.box_height.push_back(h);
        y += h + kBoxGap;
    }
    double bottom = y - kBoxGap;
    // Each description at the mean height of the descriptors that point at
    // it; each object at the mean of its descriptions.
    std::map<size_t, std::pair<double, int>> from;
    for (size_t i = 0; i < m.processes.size(); ++i)
        for (size_t k = 0; k < m.processes[i].fds.size(); ++k) {
            const auto& e = m.processes[i].fds[k];
            auto& [sum, count] = from[e.description];
            if (count == 0)
                f.descriptions.push_back(e.description);
            sum += port_y(f, i, k);
            ++count;
            if (e.object &&
                std::find(f.objects.begin(), f.objects.end(), *e.object) == f.objects.end())
                f.objects.push_back(*e.object);
        }
    std::map<size_t, double> wanted;
    for (const auto& [id, mean] : from)
        wanted[id] = mean.first / mean.second;
    f.description_y = stack(f.descriptions, wanted, kDescriptionHeight, f.top);
    std::map<size_t, std::pair<double, int>> under;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (e.object) {
                auto& [sum, count] = under[*e.object];
                sum += f.description_y[e.description] + kDescriptionHeight / 2;
                ++count;
            }
    std::map<size_t, double> object_wanted;
    for (const auto& [id, mean] : under)
        object_wanted[id] = mean.first / mean.second;
    f.object_y = stack(f.objects, object_wanted, kObjectHeight, f.top);
    for (const auto& [id, top] : f.description_y)
        bottom = std::max(bottom, top + kDescriptionHeight);
    for (const auto& [id, top] : f.object_y)
        bottom = std::max(bottom, top + kObjectHeight);
    size_boxes(f, m);
    f.description_x = kMargin + f.box_width + kToDescriptions;
    f.object_x = f.description_x + f.description_width + kToObjects;
    f.width = std::max(
        {f.object_x + f.object_width + kMargin, 2 * kMargin + 8.5 * double(title.size()), 480.0});
    f.caption =
        wrap(plumbing_caption(m), std::min(kCaptionChars, size_t((f.width - 2 * kMargin) / 6.8)));
    for (auto& line : f.caption)
        line = escape_markup(line);
    f.caption_y = bottom + 30;
    f.height = f.caption_y + double(f.caption.size()) * 17 + kMargin;
    return f;
}

// A line with its arrow heads: `to` at its end, `from` at its start.
void draw_line(std::string& svg, double x1, double y1, double x2, double y2, bool to, bool from)
{
    svg += "<line x1=\"" + svg_number(x1) + "\" y1=\"" + svg_number(y1) + "\" x2=\"" +
           svg_number(x2) + "\" y2=\"" + svg_number(y2) + "\" stroke=\"" + kColour.data +
           "\" stroke-width=\"1.4\"" + (to ? " marker-end=\"url(#flow)\"" : "") +
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

// A process's box: its name, its descriptors, and from each a line to its
// description.
void draw_process(std::string& svg, const Figure& f, const PlumbingMoment& m, size_t i)
{
    const ProcessTable& p = m.processes[i];
    double x = kMargin;
    double top = f.box_y[i];
    svg += "<g class=\"process\" data-pid=\"" + std::to_string(p.pid) + "\">\n";
    svg += "<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(top) + "\" width=\"" +
           svg_number(f.box_width) + "\" height=\"" + svg_number(f.box_height[i]) +
           "\" rx=\"6\" fill=\"" + (p.zombie ? kColour.zombie_fill : kColour.head_fill) +
           "\" stroke=\"" + (p.zombie ? kColour.zombie_edge : kColour.head_edge) + "\"" +
           (p.zombie ? " stroke-dasharray=\"5 3\"" : "") + "/>\n";
    std::string name = process_title(p);
    svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(top + 17) +
           "\" font-weight=\"bold\" fill=\"" + (p.zombie ? kColour.faint : kColour.text) + "\">" +
           escape_markup(fit(name, size_t(f.box_width / 7.5))) + "</text>\n";
    if (p.zombie)
        svg += "<text x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(top + kHeader + 12) +
               "\" fill=\"" + kColour.faint + "\">" +
               escape_markup(
                   fit(tr("all closed; only its entry is left"), size_t(f.box_width / 6.8))) +
               "</text>\n";
    for (size_t k = 0; k < p.fds.size(); ++k) {
        const auto& e = p.fds[k];
        double y = port_y(f, i, k);
        svg += "<text class=\"fd\" data-fd=\"" + std::to_string(e.fd) + "\" data-description=\"" +
               std::to_string(e.description) + "\" x=\"" + svg_number(x + 10) + "\" y=\"" +
               svg_number(y + 4) + "\" fill=\"" + (e.channel ? kColour.text : kColour.faint) +
               "\">" + escape_markup(fit(entry_text(e), size_t(f.box_width / 7.2))) + "</text>\n";
        auto [in, out] = directions(description_of(m, e.description));
        double px = x + f.box_width;
        draw_line(svg, px, y, f.description_x, f.description_y.at(e.description) + 18, in, out);
        svg += "<circle cx=\"" + svg_number(px) + "\" cy=\"" + svg_number(y) +
               "\" r=\"2.5\" fill=\"" + kColour.data + "\"/>\n";
    }
    svg += "</g>\n";
}

// An open file description: its mode and flags, its offset, how many
// descriptors point at it; and its line to what it is open on.
void draw_description(std::string& svg, const Figure& f, const PlumbingMoment& m, size_t id)
{
    const WorldDescription* d = description_of(m, id);
    WorldDescription shown = d ? *d : WorldDescription{.outside = true};
    std::optional<size_t> object;
    std::string object_name;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (e.description == id && !object && e.object) {
                object = e.object;
                object_name = entry_name(e);
            }
    double x = f.description_x;
    double y = f.description_y.at(id);
    size_t chars = size_t(f.description_width / 6.4);
    svg += "<g class=\"description\" data-id=\"" + std::to_string(id) + "\" data-refs=\"" +
           std::to_string(shown.refs) + "\"" +
           (shown.offset ? " data-offset=\"" + std::to_string(*shown.offset) + "\"" : "") +
           " data-flags=\"" + escape_markup(shown.flags) + "\" data-object=\"" +
           escape_markup(object_name) + "\">\n";
    svg += "<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(y) + "\" width=\"" +
           svg_number(f.description_width) + "\" height=\"" + svg_number(kDescriptionHeight) +
           "\" fill=\"white\" stroke=\"" + kColour.faint + "\"" +
           (shown.refs > 1 ? " stroke-width=\"2\"" : "") + "/>\n";
    svg += "<text x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(y + 14) +
           "\" font-size=\"11\" fill=\"" + kColour.text + "\">" +
           escape_markup(fit(description_mode(shown), chars)) + "</text>\n";
    svg += "<text x=\"" + svg_number(x + 6) + "\" y=\"" + svg_number(y + 29) +
           "\" font-size=\"11\" fill=\"" + kColour.faint + "\">" +
           escape_markup(fit(description_detail(shown), chars)) + "</text>\n";
    if (object) {
        auto [in, out] = directions(d);
        draw_line(svg, x + f.description_width, y + kDescriptionHeight / 2, f.object_x,
                  f.object_y.at(*object) + kObjectHeight / 2, in, out);
    }
    svg += "</g>\n";
}

// What the descriptions are open on: a pipe with the bytes in it, a FIFO,
// a file, the terminal.
void draw_object(std::string& svg, const Figure& f, const PlumbingMoment& m, size_t id)
{
    double x = f.object_x;
    double y = f.object_y.at(id);
    auto known = m.world.objects.find(id);
    const WorldObject* o = known == m.world.objects.end() ? nullptr : &known->second;
    std::string name = o ? channel_name(o->channel) : std::string();
    bool data = o && o->channel.carries_data();
    svg += "<g class=\"channel\">\n<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(y) +
           "\" width=\"" + svg_number(f.object_width) + "\" height=\"" + svg_number(kObjectHeight) +
           "\" rx=\"" + (data ? "17" : "3") + "\" fill=\"" +
           (data ? kColour.data_fill : kColour.head_fill) + "\" stroke=\"" +
           (data ? kColour.data : kColour.head_edge) + "\" stroke-width=\"1.5\"/>\n";
    // What is in a pipe or FIFO the run did not make is not all told:
    // writers it does not trace may have filled it.
    using K = Channel::Kind;
    K kind = data ? o->channel.kind : K::other;
    bool bytes =
        kind == K::counter || ((kind == K::pipe || kind == K::fifo) && o->channel.created_here);
    svg += "<text x=\"" + svg_number(x + f.object_width / 2) + "\" y=\"" +
           svg_number(y + (bytes ? 15 : kObjectHeight / 2 + 4)) +
           "\" text-anchor=\"middle\" fill=\"" + kColour.text + "\">" +
           escape_markup(fit(name, size_t(f.object_width / 7.5))) + "</text>\n";
    if (bytes)
        svg += "<text class=\"in-flight\" x=\"" + svg_number(x + f.object_width / 2) + "\" y=\"" +
               svg_number(y + 29) + "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" +
               kColour.faint + "\">" +
               escape_markup(fit(in_flight_text(*o), size_t(f.object_width / 5.7))) + "</text>\n";
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
    svg += "<title>" + escape_markup(title) + "</title>\n<desc>" +
           escape_markup(plumbing_parts::figure_words(m)) + "</desc>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + svg_number(kMargin) + "\" y=\"" + svg_number(kMargin + 8) +
           "\" font-size=\"14\" font-weight=\"bold\" fill=\"" + kColour.text + "\">" +
           escape_markup(title) + "</text>\n";
    for (size_t i = 0; i < m.processes.size(); ++i)
        draw_process(svg, f, m, i);
    for (size_t id : f.descriptions)
        draw_description(svg, f, m, id);
    for (size_t object : f.objects)
        draw_object(svg, f, m, object);
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
                shape += std::to_string(entry.fd) + what_it_is(entry) +
                         std::to_string(int(entry.end)) + "d" +
                         std::to_string(
                             shared.try_emplace(entry.description, shared.size()).first->second) +
                         ",";
        }
        if (std::find(seen.begin(), seen.end(), shape) != seen.end())
            continue;
        seen.push_back(shape);
        moments.push_back(&moment);
    }
    const char* heading =
        run.runs() > 1 ? tr("{1}: the descriptor tables of run 1 (the other runs' are alike), {2} "
                            "of {3}")
                       : tr("{1}: the descriptor tables, {2} of {3}");
    std::string count = std::to_string(moments.size());
    std::vector<std::string> svgs;
    for (size_t i = 0; i < moments.size(); ++i)
        svgs.push_back(
            plumbing_svg(*moments[i], fill(heading, {title, std::to_string(i + 1), count})));
    return svgs;
}

} // namespace timeline
