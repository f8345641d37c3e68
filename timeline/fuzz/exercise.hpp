// One input through the whole tool, as the fuzzer and the tests drive it:
// the reader, the model, the timeline and the diagram. A form feed on a
// line of its own starts another trace, so that one input can be several
// traces merged by time. Returns what went wrong ("" when nothing did): a
// timeline a terminal could misread, a diagram that is not well-formed.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "render.hpp"
#include "run.hpp"
#include "safe_text.hpp"
#include "trace_reader.hpp"

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

inline std::string exercise(std::string_view input)
{
    MergedTraces traces;
    try {
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
        // As the tool reads: the text streamed, the diagram's steps kept.
        std::string text;
        TextTimeline timeline("fuzz", [&](std::string_view part) { text += part; });
        Run run(nullptr, kDiagramRows,
                [&](const Run& r, size_t i, const Step& s) { timeline.add(r, i, s); });
        // Stacks name the lines as the input's frames say, in files that
        // are not there.
        run.set_source_of([](const std::vector<Frame>& frames) {
            return SourceLine{"/nonexistent/" + frames.front().object + ".cpp",
                              int(frames.front().offset % 100000)};
        });
        while (auto event = traces.next())
            run.add(*event);
        run.finish();
        timeline.finish(run);
        if (std::string source = source_text(run, "fuzz"); !safe_for_terminal(source))
            return "the source view holds what a terminal would obey:\n" + source;
        if (!safe_for_terminal(text))
            return "the timeline holds what a terminal would obey:\n" + text;
        std::string svg = svg_diagram(run, "fuzz");
        if (!safe_for_xml(svg))
            return "the diagram holds what XML forbids:\n" + svg;
        for (const auto& moment : run.plumbing())
            if (std::string figure = plumbing_svg(moment, "fuzz"); !safe_for_xml(figure))
                return "a descriptor figure holds what XML forbids:\n" + figure;
#ifdef FUZZ_WITH_LIBXML2
        xmlDocPtr doc = xmlReadMemory(svg.data(), int(svg.size()), "diagram.svg", nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (doc == nullptr)
            return "the diagram is not well-formed XML:\n" + svg;
        xmlFreeDoc(doc);
#endif
    } catch (const TraceError& e) {
        // Refused with a reason: fine, if the reason is safe to print.
        if (!safe_for_terminal(e.what()))
            return std::string("the refusal holds what a terminal would obey: ") + e.what();
    }
    return "";
}

} // namespace timeline::fuzz
