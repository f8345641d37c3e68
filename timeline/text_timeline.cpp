// The run in words: one line per step.
#include <algorithm>
#include <cstdio>

#include "render.hpp"
#include "wording.hpp"

namespace timeline {

std::string text_timeline(const Run& run, const std::string& title)
{
    const auto& steps = run.steps();
    std::vector<std::string> labels;
    size_t width = 7;
    for (size_t i = 0; i < steps.size(); ++i) {
        labels.push_back(printable(process_label(*run.process(steps[i].pid), i)));
        width = std::max(width, labels.back().size());
    }
    std::string out = printable(title) + ": " +
                      plural(long(run.processes().size()), "process", "processes") + ", " +
                      plural(long(steps.size()), "step", "steps") + ", " +
                      seconds_text(run.duration()) + "\n";
    char line[64];
    (void)std::snprintf(line, sizeof line, "%8s  %-*s  ", "time", int(width), "process");
    out += line + std::string("step\n");
    for (size_t i = 0; i < steps.size(); ++i) {
        (void)std::snprintf(line, sizeof line, "%8.3f  ", steps[i].time);
        out += line + labels[i] + std::string(width - labels[i].size(), ' ') + "  " +
               printable(describe(run, i)) + "\n";
    }
    return out;
}

} // namespace timeline
