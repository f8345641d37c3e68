// The run as a sequence diagram: one lifeline per process, one row per
// step, time running downward; long waits drawn as a break with their
// length; arrows for forks, for data through pipes and FIFOs, and from a
// child's end to the wait that collected it.
#include <cstdio>
#include <map>

#include "render.hpp"

namespace timeline {

std::string seconds_text(double s);

namespace {

constexpr int kGutter = 70; // the time column
constexpr int kColumn = 330; // one process
constexpr int kLifeline = 16; // lifeline's offset in its column
constexpr int kTop = 92; // first row
constexpr int kRow = 20;
constexpr int kBreak = 30;
constexpr double kLongWait = 0.25; // seconds without a step that get a break
constexpr size_t kMaxRows = 1500;
constexpr size_t kLabelChars = 44; // at 6.6 px a character, inside a note's box

// At most `n` characters (UTF-8 aware), with "…" when cut.
std::string fit(const std::string& text, size_t n)
{
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) == 0x80)
            continue;
        if (++chars > n - 1 && i + 1 < text.size()) {
            size_t rest = 0;
            for (size_t k = i; k < text.size(); ++k)
                rest += (static_cast<unsigned char>(text[k]) & 0xc0) != 0x80;
            if (rest > 1)
                return text.substr(0, i) + "\xe2\x80\xa6";
        }
    }
    return text;
}

std::string num(double v)
{
    char buf[32];
    (void)std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

} // namespace

std::string svg_diagram(const Run& run, const std::string& title)
{
    const auto& steps = run.steps();
    const auto& processes = run.processes();
    std::map<int, size_t> column;
    for (size_t i = 0; i < processes.size(); ++i)
        column[processes[i].pid] = i;
    auto x_of = [&](int pid) {
        return double(kGutter + int(column.at(pid)) * kColumn + kLifeline);
    };

    // Rows, with a break before a step that came long after the one before.
    size_t shown = std::min(steps.size(), kMaxRows);
    std::vector<double> y(shown);
    std::vector<std::pair<double, double>> breaks; // y of the band, seconds
    double at = kTop;
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0 && steps[i].time - steps[i - 1].time > kLongWait) {
            breaks.emplace_back(at - kRow / 2.0 + 2, steps[i].time - steps[i - 1].time);
            at += kBreak;
        }
        y[i] = at;
        at += kRow;
    }
    double bottom = at + 6;
    double legend = bottom + 30 + (shown < steps.size() ? 20 : 0);
    std::string heading = title + ": system calls, time running downward";
    double width = std::max(kGutter + double(std::max<size_t>(processes.size(), 1)) * kColumn + 10,
                            30 + 9 * double(heading.size())); // 14 px bold
    double height = legend + 5 * 16 + 10;

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
           "\" font-family=\"DejaVu Sans Mono, monospace\" font-size=\"11\" xml:space=\"preserve\" "
           "style=\"white-space: pre\">\n"; // the blanks of a message are part of it
    svg += "<title>" + escape_markup(title) + ": system calls</title>\n";
    svg += "<defs>\n";
    for (const auto& [id, colour] :
         {std::pair{"fork", "#2a6fdb"}, {"data", "#1f8a4c"}, {"collect", "#8a3ab9"}})
        svg += std::string("<marker id=\"") + id +
               "\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
               "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" +
               colour + "\"/></marker>\n";
    svg += "</defs>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"10\" y=\"20\" font-size=\"14\" font-weight=\"bold\">" +
           escape_markup(heading) + "</text>\n";
    svg += "<text x=\"10\" y=\"" + num(kTop - 8) + "\" fill=\"#666\">seconds</text>\n";

    // Heads and lifelines.
    for (const Process& p : processes) {
        double x = x_of(p.pid);
        double left = x - kLifeline + 6;
        std::string name = p.programs.empty() ? p.program : p.programs.front().second;
        svg += "<rect x=\"" + num(left) + "\" y=\"32\" width=\"" + num(kColumn - 14) +
               "\" height=\"36\" rx=\"4\" fill=\"#eef3fb\" stroke=\"#5b7db1\"/>\n";
        svg += "<text x=\"" + num(left + 6) + "\" y=\"47\" font-weight=\"bold\">" +
               escape_markup(fit(name, 34)) + "</text>\n";
        svg += "<text x=\"" + num(left + 6) + "\" y=\"61\" fill=\"#333\">pid " +
               std::to_string(p.pid) + (p.child ? ", child of " + std::to_string(p.parent) : "") +
               "</text>\n";

        // First and last rows of this process among those drawn.
        std::optional<size_t> first, last;
        for (size_t i = 0; i < shown; ++i)
            if (steps[i].pid == p.pid) {
                if (!first)
                    first = i;
                last = i;
            }
        if (!first)
            continue;
        double top = y[*first];
        double alive_end = p.end_step && *p.end_step < shown ? y[*p.end_step] : bottom;
        svg += "<line x1=\"" + num(x) + "\" y1=\"" + num(top) + "\" x2=\"" + num(x) + "\" y2=\"" +
               num(alive_end) + "\" stroke=\"#444\" stroke-width=\"2\"/>\n";
        if (!p.ended) {
            svg += "<text x=\"" + num(x + 8) + "\" y=\"" + num(bottom + 14) +
                   "\" fill=\"#444\" font-style=\"italic\">still running at the end</text>\n";
        } else if (p.child) {
            double zombie_end =
                p.collect_step && *p.collect_step < shown ? y[*p.collect_step] : bottom;
            svg += "<line x1=\"" + num(x) + "\" y1=\"" + num(alive_end) + "\" x2=\"" + num(x) +
                   "\" y2=\"" + num(zombie_end) +
                   "\" stroke=\"#c0392b\" stroke-width=\"2\" stroke-dasharray=\"2 4\"/>\n";
            if (!p.collected)
                svg += "<text x=\"" + num(x + 8) + "\" y=\"" + num(bottom + 14) +
                       "\" fill=\"#c0392b\" font-style=\"italic\">zombie, never collected</text>\n";
        }
    }

    // Breaks: a long wait or sleep, with its length.
    for (const auto& [band, seconds] : breaks) {
        svg += "<rect x=\"0\" y=\"" + num(band) + "\" width=\"" + num(width) + "\" height=\"" +
               num(kBreak - 4) + "\" fill=\"#f3f3f3\" fill-opacity=\"0.85\"/>\n";
        svg += "<path d=\"M0," + num(band) + " H" + num(width) + " M0," + num(band + kBreak - 4) +
               " H" + num(width) + "\" stroke=\"#bbb\" stroke-dasharray=\"6 4\"/>\n";
        svg += "<text x=\"" + num(kGutter) + "\" y=\"" + num(band + kBreak / 2.0 + 2) +
               "\" fill=\"#555\" font-style=\"italic\">\xe2\x80\xa6 " +
               escape_markup(seconds_text(seconds)) + " later \xe2\x80\xa6</text>\n";
    }

    // Arrows, under the labels.
    for (const Arrow& a : run.arrows()) {
        if (a.from >= shown || a.to >= shown)
            continue;
        const Step& from = steps[a.from];
        const Step& to = steps[a.to];
        double x1 = x_of(from.pid), y1 = y[a.from], x2 = x_of(to.pid), y2 = y[a.to];
        if (from.pid == to.pid)
            continue;
        const char* id = a.kind == Arrow::Kind::fork   ? "fork"
                         : a.kind == Arrow::Kind::data ? "data"
                                                       : "collect";
        const char* colour = a.kind == Arrow::Kind::fork   ? "#2a6fdb"
                             : a.kind == Arrow::Kind::data ? "#1f8a4c"
                                                           : "#8a3ab9";
        double dir = x2 > x1 ? 1 : -1;
        svg += "<line x1=\"" + num(x1 + 4 * dir) + "\" y1=\"" + num(y1) + "\" x2=\"" +
               num(x2 - 4 * dir) + "\" y2=\"" + num(y2) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1.5\"" +
               (a.kind == Arrow::Kind::collect ? " stroke-dasharray=\"5 3\"" : "") +
               " marker-end=\"url(#" + id + ")\"/>\n";
        // Only data arrows carry words (the pipe and the bytes); the legend
        // says what the others are. The words sit near the reader's end.
        if (a.kind == Arrow::Kind::data) {
            std::string label = (a.channel ? run.channels()[*a.channel].name + ": " : "") +
                                std::to_string(a.bytes) + (a.bytes == 1 ? " byte" : " bytes");
            svg += "<text x=\"" + num(x1 + (x2 - x1) * 0.7) + "\" y=\"" +
                   num(y1 + (y2 - y1) * 0.7 - 4) + "\" text-anchor=\"middle\" fill=\"" + colour +
                   "\" stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\">" +
                   escape_markup(label) + "</text>\n";
        }
    }

    // Steps: a dot on the lifeline, the time, and what happened; what a
    // process printed stands in a note.
    double last_time_y = -100;
    for (size_t i = 0; i < shown; ++i) {
        const Step& s = steps[i];
        double x = x_of(s.pid);
        std::string text = describe(run, i);
        if (y[i] - last_time_y >= kRow) {
            char t[32];
            (void)std::snprintf(t, sizeof t, "%.3f", s.time);
            svg += "<text x=\"" + num(kGutter - 8) + "\" y=\"" + num(y[i] + 4) +
                   "\" text-anchor=\"end\" fill=\"#666\">" + t + "</text>\n";
            last_time_y = y[i];
        }
        const Channel* ch = s.channel ? &run.channels()[*s.channel] : nullptr;
        bool printed = s.kind == Step::Kind::write && s.count > 0 &&
                       ((ch && ch->kind == Channel::Kind::terminal) || s.fd == 1 || s.fd == 2);
        const char* colour = s.kind == Step::Kind::exec || s.kind == Step::Kind::start ? "#5b2c00"
                             : s.kind == Step::Kind::signal || s.kind == Step::Kind::ended ||
                                     s.kind == Step::Kind::zombie ||
                                     (!s.error.empty() && s.kind != Step::Kind::mkfifo)
                                 ? "#a01010"
                                 : "#111";
        svg += "<g><title>" + escape_markup(std::to_string(s.pid) + ": " + text) + "</title>\n";
        svg += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y[i]) + "\" r=\"3.5\" fill=\"" + colour +
               "\"/>\n";
        std::string label = printed ? "prints \"" + escape_bytes(s.data, 60) + "\"" : text;
        label = fit(label, kLabelChars);
        if (printed)
            svg += "<rect x=\"" + num(x + 6) + "\" y=\"" + num(y[i] - 8) + "\" width=\"" +
                   num(double(kColumn - kLifeline - 8)) +
                   "\" height=\"16\" rx=\"3\" fill=\"#fff4c2\" stroke=\"#d4a72c\"/>\n";
        if (s.kind == Step::Kind::exec || s.kind == Step::Kind::start)
            svg += "<rect x=\"" + num(x + 6) + "\" y=\"" + num(y[i] - 8) + "\" width=\"" +
                   num(double(kColumn - kLifeline - 8)) +
                   "\" height=\"16\" rx=\"3\" fill=\"#fde3cf\" stroke=\"#c07a3a\"/>\n";
        // A white halo keeps the words readable where an arrow passes.
        svg += "<text x=\"" + num(x + 10) + "\" y=\"" + num(y[i] + 4) + "\" fill=\"" + colour +
               "\" stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\">" +
               escape_markup(label) + "</text></g>\n";
    }
    if (shown < steps.size())
        svg += "<text x=\"10\" y=\"" + num(bottom + 34) + "\" fill=\"#a01010\">\xe2\x80\xa6 " +
               std::to_string(steps.size() - shown) +
               " more steps not drawn: see the timeline</text>\n";

    // Legend.
    double ly = legend;
    svg += "<g font-size=\"11\">\n";
    const double lx = 10;
    auto sample = [&](const char* colour, const char* dash, const char* marker, const char* what) {
        svg += "<line x1=\"" + num(lx) + "\" y1=\"" + num(ly) + "\" x2=\"" + num(lx + 34) +
               "\" y2=\"" + num(ly) + "\" stroke=\"" + colour + "\" stroke-width=\"2\"" +
               (dash[0] ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") +
               (marker[0] ? std::string(" marker-end=\"url(#") + marker + ")\"" : "") + "/>\n";
        svg += "<text x=\"" + num(lx + 40) + "\" y=\"" + num(ly + 4) + "\">" + what + "</text>\n";
        ly += 16;
    };
    sample("#444", "", "", "alive");
    sample("#c0392b", "2 4", "", "zombie: ended, not yet collected");
    sample("#2a6fdb", "", "fork", "fork");
    sample("#1f8a4c", "", "data", "bytes through a pipe or FIFO");
    sample("#8a3ab9", "5 3", "collect", "end collected by wait");
    svg += "</g>\n</svg>\n";
    return svg;
}

} // namespace timeline
