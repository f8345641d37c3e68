// One input through the whole tool, as the fuzzer and the tests drive it:
// the reader, the model and every view (the timeline, the source view,
// the diagram, the descriptor figures, the Perfetto trace, the book's
// player data, with what each step changed in the world). A form feed on
// a line of its own starts another trace, so that one input can be several
// traces merged by time. Returns what went wrong ("" when nothing did): a
// timeline a terminal could misread, a diagram that is not well-formed, a
// Perfetto trace that is not JSON or has a flow without its end.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/safe_text.hpp"
#include "model/run.hpp"
#include "reader/merged_traces.hpp"
#include "session.hpp"
#include "views/book_player.hpp"
#include "views/perfetto.hpp"
#include "views/plumbing_figure.hpp"
#include "views/source_view.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"

#ifdef FUZZ_WITH_LIBXML2
#include <libxml/parser.h>
#endif

namespace timeline::fuzz {

// Every byte shows as itself: printable ASCII, whole UTF-8 characters that
// XML allows and a terminal does not obey, line ends, and tabs where
// `tabs` allows them.
inline bool shows_as_itself(std::string_view text, bool tabs)
{
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || (tabs && c == '\t') || (c >= 0x20 && c < 0x7f))
            continue;
        size_t n = c >= 0x80 ? utf8_character(text, i) : 0;
        if (n == 0)
            return false;
        i += n - 1;
    }
    return true;
}

inline bool safe_for_terminal(std::string_view text)
{
    return shows_as_itself(text, false);
}

inline bool safe_for_xml(std::string_view text)
{
    return shows_as_itself(text, true);
}

// A Perfetto trace in memory: the bytes a file would have held.
class PerfettoInMemory {
public:
    PerfettoInMemory() : file_(open_memstream(&data_, &size_)), trace_(file_) {}
    PerfettoInMemory(const PerfettoInMemory&) = delete;
    PerfettoInMemory& operator=(const PerfettoInMemory&) = delete;
    ~PerfettoInMemory()
    {
        (void)std::fclose(file_);
        std::free(data_); // NOLINT(cppcoreguidelines-no-malloc): open_memstream allocates it
    }
    PerfettoTrace& trace() { return trace_; }
    std::string text() const { return data_ ? std::string(data_, size_) : std::string(); }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
    PerfettoTrace trace_;
};

// What is wrong with a Perfetto trace: not JSON, or a flow that starts
// and never ends (or the other way round).
inline std::string perfetto_problem(const std::string& text)
{
    auto trace = nlohmann::json::parse(text, nullptr, false);
    if (trace.is_discarded() || !trace.contains("traceEvents"))
        return "the Perfetto trace is not JSON:\n" + text;
    std::multiset<long long> starts, ends;
    for (const auto& event : trace["traceEvents"]) {
        std::string phase = event.value("ph", "");
        if (phase == "s")
            starts.insert(event["id"].get<long long>());
        else if (phase == "f")
            ends.insert(event["id"].get<long long>());
    }
    return starts == ends ? "" : "a flow of the Perfetto trace lacks an end:\n" + text;
}

inline void add_traces(MergedTraces& traces, std::string_view input)
{
    int n = 0;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find("\n\f\n", start);
        std::string_view part = input.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end + 1 - start);
        traces.add(std::make_unique<std::istringstream>(std::string(part)),
                   "trace " + std::to_string(++n));
        if (end == std::string_view::npos)
            break;
        start = end + 3;
    }
}

// What the kept run's views make of it.
inline std::string kept_views_problem(const Run& run)
{
    if (std::string source = source_text(run, "fuzz"); !safe_for_terminal(source))
        return "the source view holds what a terminal would obey:\n" + source;
    std::string svg = svg_diagram(run, "fuzz");
    if (!safe_for_xml(svg))
        return "the diagram holds what XML forbids:\n" + svg;
    for (const auto& moment : run.plumbing())
        if (std::string figure = plumbing_svg(moment, "fuzz"); !safe_for_xml(figure))
            return "a descriptor figure holds what XML forbids:\n" + figure;
    // The player's data: JSON, and nothing that could end its <script>.
    std::string player = player_data(run, "fuzz", annotated_sources(run));
    if (player.find('<') != std::string::npos ||
        (!player.empty() && nlohmann::json::parse(player, nullptr, false).is_discarded()))
        return "the player's data is not JSON safe in a page:\n" + player;
#ifdef FUZZ_WITH_LIBXML2
    xmlDocPtr doc = xmlReadMemory(svg.data(), int(svg.size()), "diagram.svg", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return "the diagram is not well-formed XML:\n" + svg;
    xmlFreeDoc(doc);
#endif
    return "";
}

inline std::string exercise(std::string_view input)
{
    try {
        MergedTraces traces;
        add_traces(traces, input);
        // As the tool reads: the text and the Perfetto trace streamed, the
        // diagram's steps kept.
        std::string text;
        TextTimeline timeline("fuzz", [&](std::string_view part) { text += part; });
        PerfettoInMemory perfetto;
        Run run(nullptr, kDiagramRows);
        run.record_world();
        run.add_sink(timeline);
        run.add_sink(perfetto.trace());
        // Stacks name the lines as the input's frames say, in files that
        // are not there.
        run.set_source_of([](const std::vector<Frame>& frames) {
            return SourceLine{"/nonexistent/" + frames.front().object + ".cpp",
                              int(frames.front().offset % 100000)};
        });
        read_traces(traces, run, false);
        if (!safe_for_terminal(text))
            return "the timeline holds what a terminal would obey:\n" + text;
        if (std::string problem = perfetto_problem(perfetto.text()); !problem.empty())
            return problem;
        return kept_views_problem(run);
    } catch (const TraceError& e) {
        // Refused with a reason: fine, if the reason is safe to print.
        if (!safe_for_terminal(e.what()))
            return std::string("the refusal holds what a terminal would obey: ") + e.what();
    }
    return "";
}

} // namespace timeline::fuzz
