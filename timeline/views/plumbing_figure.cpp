// The plumbing at one moment as a textbook draws it: each process a box
// holding its descriptor table, each pipe, FIFO or socket drawn once below
// them, an arrow from every write end into it and from it to every read
// end. A zombie is greyed; an exec'd process is named by its new program.
#include "views/plumbing_figure.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "views/svg_style.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

constexpr double kMargin = 20;
constexpr double kGap = 50; // between boxes
constexpr double kWidestFigure = 1000;
constexpr double kHeader = 26;
constexpr double kEntry = 18;
constexpr double kChannelWidth = 130;
constexpr double kChannelHeight = 34;
constexpr double kChannelDrop = 90; // from the boxes' bottom to the channels
constexpr size_t kCaptionChars = 120;

std::string process_name(const ProcessTable& p)
{
    return p.program.empty() ? program_name(p.program, p.pid)
                             : p.program + " " + std::to_string(p.pid);
}

// What an entry points at: "pipe A", "the terminal"; "" when not known.
std::string entry_name(const TableEntry& e)
{
    return e.channel ? channel_name(*e.channel) : std::string();
}

// "fd 3: pipe A, read end", "fd 1: the terminal", "fd 0: inherited"
std::string entry_text(const TableEntry& e)
{
    std::string text = "fd " + std::to_string(e.fd) + ": ";
    std::string what = entry_name(e);
    if (what.empty())
        return text + "as inherited";
    text += what;
    if (e.carries_data && e.end == End::read)
        text += ", read end";
    else if (e.carries_data && e.end == End::write)
        text += ", write end";
    return text;
}

// The pipes, FIFOs and sockets of a moment, in the order the tables name
// them.
std::vector<std::string> channels_of(const PlumbingMoment& m)
{
    std::vector<std::string> names;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (std::string name = entry_name(e);
                e.carries_data && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
    return names;
}

// "4282", "4282 and 4283", "4282, 4283 and 4290"
std::string pids_text(const std::vector<int>& pids)
{
    std::string text;
    for (size_t i = 0; i < pids.size(); ++i)
        text += (i == 0 ? "" : i + 1 == pids.size() ? " and " : ", ") + std::to_string(pids[i]);
    return text;
}

// What one channel joins: "{} runs from 4282 to 4283", where "{}" stands
// for the channel, so that channels that join alike are said once.
std::string flow_text(const PlumbingMoment& m, const std::string& channel)
{
    std::vector<int> writers;
    std::vector<int> readers;
    std::vector<int> both_ways;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds) {
            if (!e.carries_data || entry_name(e) != channel)
                continue;
            auto& who = e.end == End::write ? writers : e.end == End::read ? readers : both_ways;
            if (std::find(who.begin(), who.end(), p.pid) == who.end())
                who.push_back(p.pid);
        }
    if (!both_ways.empty())
        return "{} joins " + pids_text(both_ways);
    if (!writers.empty() && writers == readers)
        return pids_text(writers) + (writers.size() == 1 ? " holds" : " each hold") +
               " both ends of {}";
    if (writers.empty())
        return "{}: no writer left, " + pids_text(readers) + " reads";
    if (readers.empty())
        return "{}: no reader left, " + pids_text(writers) + " writes";
    return "{} runs from " + pids_text(writers) + " to " + pids_text(readers);
}

// "pipe A", "pipes A and B", "pipe A and FIFOVEK"
std::string names_text(const std::vector<std::string>& names)
{
    bool pipes = names.size() > 1 && std::all_of(names.begin(), names.end(), [](const auto& n) {
                     return n.starts_with("pipe ");
                 });
    std::string text = pipes ? "pipes " : "";
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0                  ? ""
                 : i + 1 == names.size() ? " and "
                                         : ", ") +
                (pipes ? names[i].substr(5) : names[i]);
    return text;
}

// How the caption begins: what changed the tables.
std::string caption_lead(const PlumbingMoment& m)
{
    std::string who = std::to_string(m.pid);
    switch (m.change) {
    case PlumbingChange::pipe:
        return m.count == 1 ? "After " + who + " makes a pipe"
                            : "After " + who + " makes " + std::to_string(m.count) + " pipes";
    case PlumbingChange::fork:
        return "After fork: the child holds a copy of each of its parent's descriptors";
    case PlumbingChange::close:
        return m.count == 1 ? "After a close" : "After the closes";
    case PlumbingChange::dup:
        return "After " + who + " copies a descriptor";
    case PlumbingChange::exec: {
        auto p = std::find_if(m.processes.begin(), m.processes.end(),
                              [&](const ProcessTable& t) { return t.pid == m.pid; });
        return "After exec: " + who + " runs " +
               (p == m.processes.end() ? std::string("another program")
                                       : program_name(p->program, p->pid)) +
               (m.closed_on_exec == 0
                    ? std::string(", its descriptors kept")
                    : ", without the " +
                          plural(long(m.closed_on_exec), "descriptor", "descriptors") +
                          " marked close-on-exec");
    }
    case PlumbingChange::open:
        return "After " + who + " opens " + (m.count == 1 ? "a channel" : "its channels");
    case PlumbingChange::end:
        return "After " + who + " ends: its descriptors are closed";
    case PlumbingChange::collect:
        return "After wait(): the zombie is gone";
    }
    return "After a change";
}

// Where the figure puts things.
struct Figure {
    double box_width = 0;
    double top = kMargin + 24;
    double box_height = 0;
    double boxes_bottom = 0;
    double channel_y = 0;
    double width = 0;
    double height = 0;
    double caption_y = 0;
    std::vector<std::string> channels; // in the order the tables name them
    std::map<std::string, double> channel_x; // each centred in a row under the boxes
    std::vector<std::string> caption; // its lines, escaped
};

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
    f.channels = channels_of(m);
    f.channel_y = f.boxes_bottom + kChannelDrop;
    f.width = std::max(2 * kMargin + double(n) * f.box_width + kGap * double(n - 1),
                       2 * kMargin + double(f.channels.size()) * (kChannelWidth + 30));
    // Room for the title (bold, about 8.5 px a character) and a readable
    // caption.
    f.width = std::min(std::max({f.width, 2 * kMargin + 8.5 * double(title.size()), 480.0}),
                       kWidestFigure);
    f.caption =
        wrap(plumbing_caption(m), std::min(kCaptionChars, size_t((f.width - 2 * kMargin) / 6.8)));
    for (auto& line : f.caption)
        line = escape_markup(line);
    f.caption_y = (f.channels.empty() ? f.boxes_bottom : f.channel_y + kChannelHeight) + 30;
    f.height = f.caption_y + double(f.caption.size()) * 17 + kMargin;
    double row_width = double(f.channels.size()) * kChannelWidth +
                       double(f.channels.size() > 0 ? f.channels.size() - 1 : 0) * 30;
    double x0 = (f.width - row_width) / 2;
    for (size_t i = 0; i < f.channels.size(); ++i)
        f.channel_x[f.channels[i]] = x0 + double(i) * (kChannelWidth + 30);
    return f;
}

// A port on the box's bottom edge, its arrow to the channel and its name:
// writes flow into the channel, reads out of it, a socket's ends both ways.
void draw_port(std::string& svg, const Figure& f, const TableEntry& e, double px)
{
    double cx = f.channel_x.at(entry_name(e)) + kChannelWidth / 2;
    bool in = e.end != End::read;
    bool out = e.end != End::write;
    svg += "<line x1=\"" + svg_number(px) + "\" y1=\"" + svg_number(f.boxes_bottom) + "\" x2=\"" +
           svg_number(cx) + "\" y2=\"" + svg_number(f.channel_y) + "\" stroke=\"" + kColour.data +
           "\" stroke-width=\"1.6\"" + (in ? " marker-end=\"url(#flow)\"" : "") +
           (out ? " marker-start=\"url(#flow)\"" : "") + "/>\n";
    svg += "<circle cx=\"" + svg_number(px) + "\" cy=\"" + svg_number(f.boxes_bottom) +
           "\" r=\"2.5\" fill=\"" + kColour.data + "\"/>\n";
    svg += "<text x=\"" + svg_number(px) + "\" y=\"" + svg_number(f.boxes_bottom - 5) +
           "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" + kColour.faint + "\">fd " +
           std::to_string(e.fd) + "</text>\n";
}

// A process's box: its name, its descriptors, and a port for each end of
// a channel it holds.
void draw_process(std::string& svg, const Figure& f, const ProcessTable& p, double x)
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
    size_t ports = size_t(std::count_if(p.fds.begin(), p.fds.end(),
                                        [](const TableEntry& e) { return e.carries_data; }));
    size_t port = 0;
    for (size_t k = 0; k < p.fds.size(); ++k) {
        const auto& e = p.fds[k];
        double y = f.top + kHeader + double(k) * kEntry + 12;
        svg += "<text class=\"fd\" x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(y) +
               "\" fill=\"" + (e.channel ? kColour.text : kColour.faint) + "\">" +
               escape_markup(fit(entry_text(e), size_t(f.box_width / 6.8))) + "</text>\n";
        if (e.carries_data)
            draw_port(svg, f, e, x + f.box_width * double(++port) / double(ports + 1));
    }
    svg += "</g>\n";
}

void draw_channel(std::string& svg, const Figure& f, const std::string& channel)
{
    double x = f.channel_x.at(channel);
    svg += "<g class=\"channel\">\n<rect x=\"" + svg_number(x) + "\" y=\"" +
           svg_number(f.channel_y) + "\" width=\"" + svg_number(kChannelWidth) + "\" height=\"" +
           svg_number(kChannelHeight) + "\" rx=\"17\" fill=\"" + kColour.data_fill +
           "\" stroke=\"" + kColour.data + "\" stroke-width=\"1.5\"/>\n";
    svg += "<text x=\"" + svg_number(x + kChannelWidth / 2) + "\" y=\"" +
           svg_number(f.channel_y + kChannelHeight / 2 + 4) + "\" text-anchor=\"middle\" fill=\"" +
           kColour.text + "\">" + escape_markup(fit(channel, 18)) + "</text>\n</g>\n";
}

} // namespace

std::string plumbing_caption(const PlumbingMoment& m)
{
    std::string lead = caption_lead(m);
    // Channels that join the same processes the same way, said together.
    std::vector<std::pair<std::string, std::vector<std::string>>> flows;
    for (const auto& channel : channels_of(m)) {
        std::string flow = flow_text(m, channel);
        auto same = std::find_if(flows.begin(), flows.end(),
                                 [&](const auto& f) { return f.first == flow; });
        if (same == flows.end())
            flows.push_back({flow, {channel}});
        else
            same->second.push_back(channel);
    }
    std::string text = lead;
    bool first = lead.find(':') == std::string::npos;
    for (const auto& [flow, names] : flows) {
        std::string said = flow;
        if (names.size() > 1)
            for (std::string_view verb : {"runs", "joins"})
                if (size_t at = said.find("{} " + std::string(verb)); at != std::string::npos)
                    said.erase(at + 3 + verb.size() - 1, 1); // "pipes B and C run"
        said.replace(said.find("{}"), 2, names_text(names));
        text += (first ? ": " : "; ") + said;
        first = false;
    }
    return text + ".";
}

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
        draw_process(svg, f, m.processes[i], kMargin + double(i) * (f.box_width + kGap));
    for (const auto& channel : f.channels)
        draw_channel(svg, f, channel);
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
        for (const auto& table : moment.processes) {
            shape += table.zombie ? "|z" : "|";
            for (const auto& entry : table.fds)
                shape += std::to_string(entry.fd) + entry_name(entry) +
                         std::to_string(int(entry.end)) + ",";
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
