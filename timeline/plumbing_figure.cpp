// The plumbing at one moment as a textbook draws it: each process a box
// holding its descriptor table, each pipe, FIFO or socket drawn once below
// them, an arrow from every write end into it and from it to every read
// end. A zombie is greyed; an exec'd process is named by its new program.
#include <algorithm>
#include <cstdio>
#include <map>

#include "render.hpp"
#include "svg_style.hpp"
#include "wording.hpp"

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
    return p.program + " " + std::to_string(p.pid);
}

// "fd 3: pipe A, read end", "fd 1: the terminal", "fd 0: inherited"
std::string entry_text(const TableEntry& e)
{
    std::string text = "fd " + std::to_string(e.fd) + ": ";
    if (e.what.empty())
        return text + "as inherited";
    text += e.what;
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
            if (e.carries_data && std::find(names.begin(), names.end(), e.what) == names.end())
                names.push_back(e.what);
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
            if (!e.carries_data || e.what != channel)
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
                     return n.rfind("pipe ", 0) == 0;
                 });
    std::string text = pipes ? "pipes " : "";
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0                  ? ""
                 : i + 1 == names.size() ? " and "
                                         : ", ") +
                (pipes ? names[i].substr(5) : names[i]);
    return text;
}

} // namespace

std::string plumbing_caption(const PlumbingMoment& m)
{
    std::string who = std::to_string(m.pid);
    std::string lead;
    switch (m.change) {
    case PlumbingChange::pipe:
        lead = m.count == 1 ? "After " + who + " makes a pipe"
                            : "After " + who + " makes " + std::to_string(m.count) + " pipes";
        break;
    case PlumbingChange::fork:
        lead = "After fork: the child holds a copy of each of its parent's descriptors";
        break;
    case PlumbingChange::close:
        lead = m.count == 1 ? "After a close" : "After the closes";
        break;
    case PlumbingChange::dup:
        lead = "After " + who + " copies a descriptor";
        break;
    case PlumbingChange::exec: {
        auto p = std::find_if(m.processes.begin(), m.processes.end(),
                              [&](const ProcessTable& t) { return t.pid == m.pid; });
        lead = "After exec: " + who + " runs " +
               (p == m.processes.end() ? std::string("another program") : p->program) +
               ", its descriptors kept";
        break;
    }
    case PlumbingChange::open:
        lead = "After " + who + " opens " + (m.count == 1 ? "a channel" : "its channels");
        break;
    case PlumbingChange::end:
        lead = "After " + who + " ends: its descriptors are closed";
        break;
    case PlumbingChange::collect:
        lead = "After wait(): the zombie is gone";
        break;
    }
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
    size_t n = std::max<size_t>(1, m.processes.size());
    double box_width =
        std::min(260.0, (kWidestFigure - 2 * kMargin - kGap * double(n - 1)) / double(n));
    size_t rows = 1; // a zombie's line
    for (const auto& p : m.processes)
        rows = std::max(rows, p.fds.size());
    double top = kMargin + 24;
    // Room at the bottom of each box for the names of its ports, inside,
    // so that no arrow leaving a port crosses a name.
    double box_height = kHeader + double(rows) * kEntry + 10 + 16;
    double boxes_bottom = top + box_height;
    auto channels = channels_of(m);
    double channel_y = boxes_bottom + kChannelDrop;
    double width = std::max(2 * kMargin + double(n) * box_width + kGap * double(n - 1),
                            2 * kMargin + double(channels.size()) * (kChannelWidth + 30));
    // Room for the title (bold, about 8.5 px a character) and a readable
    // caption.
    width = std::max({width, 2 * kMargin + 8.5 * double(title.size()), 480.0});
    width = std::min(width, kWidestFigure);
    auto caption =
        wrap(plumbing_caption(m), std::min(kCaptionChars, size_t((width - 2 * kMargin) / 6.8)));
    for (auto& line : caption)
        line = escape_markup(line);
    double caption_y = (channels.empty() ? boxes_bottom : channel_y + kChannelHeight) + 30;
    double height = caption_y + double(caption.size()) * 17 + kMargin;

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      svg_number(width) + "\" height=\"" + svg_number(height) +
                      "\" viewBox=\"0 0 " + svg_number(width) + " " + svg_number(height) +
                      "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"12\">\n"
                      "<defs><marker id=\"flow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" "
                      "markerWidth=\"7\" markerHeight=\"7\" orient=\"auto-start-reverse\">"
                      "<path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
                      std::string(kColour.data) + "\"/></marker></defs>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + svg_number(kMargin) + "\" y=\"" + svg_number(kMargin + 8) +
           "\" font-size=\"14\" font-weight=\"bold\" fill=\"" + kColour.text + "\">" +
           escape_markup(title) + "</text>\n";

    // Where each channel sits, centred in a row under the boxes.
    std::map<std::string, double> channel_x;
    double row_width = double(channels.size()) * kChannelWidth +
                       double(channels.size() > 0 ? channels.size() - 1 : 0) * 30;
    double x0 = (width - row_width) / 2;
    for (size_t i = 0; i < channels.size(); ++i)
        channel_x[channels[i]] = x0 + double(i) * (kChannelWidth + 30);

    for (size_t i = 0; i < m.processes.size(); ++i) {
        const auto& p = m.processes[i];
        double x = kMargin + double(i) * (box_width + kGap);
        svg += "<g class=\"process\" data-pid=\"" + std::to_string(p.pid) + "\">\n";
        svg += "<rect x=\"" + svg_number(x) + "\" y=\"" + svg_number(top) + "\" width=\"" +
               svg_number(box_width) + "\" height=\"" + svg_number(box_height) +
               "\" rx=\"6\" fill=\"" + (p.zombie ? kColour.zombie_fill : kColour.head_fill) +
               "\" stroke=\"" + (p.zombie ? kColour.zombie_edge : kColour.head_edge) + "\"" +
               (p.zombie ? " stroke-dasharray=\"5 3\"" : "") + "/>\n";
        std::string name = process_name(p) + (p.zombie ? " (zombie)" : "");
        svg += "<text x=\"" + svg_number(x + 8) + "\" y=\"" + svg_number(top + 17) +
               "\" font-weight=\"bold\" fill=\"" + (p.zombie ? kColour.faint : kColour.text) +
               "\">" + escape_markup(fit(name, size_t(box_width / 7.5))) + "</text>\n";
        if (p.zombie)
            svg +=
                "<text x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(top + kHeader + 12) +
                "\" fill=\"" + kColour.faint + "\">" +
                escape_markup(fit("all closed; waits to be collected", size_t(box_width / 6.8))) +
                "</text>\n";
        // The ports along the box's bottom, one per end of a channel.
        size_t ports = size_t(std::count_if(p.fds.begin(), p.fds.end(),
                                            [](const TableEntry& e) { return e.carries_data; }));
        size_t port = 0;
        for (size_t k = 0; k < p.fds.size(); ++k) {
            const auto& e = p.fds[k];
            double y = top + kHeader + double(k) * kEntry + 12;
            svg += "<text class=\"fd\" x=\"" + svg_number(x + 10) + "\" y=\"" + svg_number(y) +
                   "\" fill=\"" + (e.what.empty() ? kColour.faint : kColour.text) + "\">" +
                   escape_markup(fit(entry_text(e), size_t(box_width / 6.8))) + "</text>\n";
            if (!e.carries_data)
                continue;
            double px = x + box_width * double(port + 1) / double(ports + 1);
            ++port;
            double cx = channel_x[e.what] + kChannelWidth / 2;
            // Writes flow into the channel, reads out of it; a socket's
            // ends both ways.
            bool in = e.end != End::read;
            bool out = e.end != End::write;
            svg += "<line x1=\"" + svg_number(px) + "\" y1=\"" + svg_number(boxes_bottom) +
                   "\" x2=\"" + svg_number(cx) + "\" y2=\"" + svg_number(channel_y) +
                   "\" stroke=\"" + kColour.data + "\" stroke-width=\"1.6\"" +
                   (in ? " marker-end=\"url(#flow)\"" : "") +
                   (out ? " marker-start=\"url(#flow)\"" : "") + "/>\n";
            svg += "<circle cx=\"" + svg_number(px) + "\" cy=\"" + svg_number(boxes_bottom) +
                   "\" r=\"2.5\" fill=\"" + kColour.data + "\"/>\n";
            svg += "<text x=\"" + svg_number(px) + "\" y=\"" + svg_number(boxes_bottom - 5) +
                   "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" + kColour.faint + "\">fd " +
                   std::to_string(e.fd) + "</text>\n";
        }
        svg += "</g>\n";
    }
    for (const auto& channel : channels) {
        double x = channel_x[channel];
        svg += "<g class=\"channel\">\n<rect x=\"" + svg_number(x) + "\" y=\"" +
               svg_number(channel_y) + "\" width=\"" + svg_number(kChannelWidth) + "\" height=\"" +
               svg_number(kChannelHeight) + "\" rx=\"17\" fill=\"" + kColour.data_fill +
               "\" stroke=\"" + kColour.data + "\" stroke-width=\"1.5\"/>\n";
        svg += "<text x=\"" + svg_number(x + kChannelWidth / 2) + "\" y=\"" +
               svg_number(channel_y + kChannelHeight / 2 + 4) +
               "\" text-anchor=\"middle\" fill=\"" + kColour.text + "\">" +
               escape_markup(fit(channel, 18)) + "</text>\n</g>\n";
    }
    for (size_t i = 0; i < caption.size(); ++i)
        svg += "<text class=\"caption\" x=\"" + svg_number(kMargin) + "\" y=\"" +
               svg_number(caption_y + double(i) * 17) + "\" fill=\"" + kColour.text + "\">" +
               caption[i] + "</text>\n";
    svg += "</svg>\n";
    return svg;
}

} // namespace timeline
