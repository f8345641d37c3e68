#include "views/book.hpp"

#include <cmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "base/language.hpp"
#include "base/paths.hpp"
#include "reader/source_lines.hpp"
#include "views/book_player.hpp"
#include "views/glossary.hpp"
#include "views/source_view.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

constexpr char kStyle[] = R"(
body { font-family: "DejaVu Sans", sans-serif; margin: 2em auto; max-width: 62em; padding: 0 1em;
       color: #111; line-height: 1.45; }
nav ol { columns: 2; }
section.lesson { border-top: 2px solid #5b7db1; margin-top: 2.5em; }
pre { background: #f6f6f6; padding: 0.8em; font-size: 0.82em; white-space: pre-wrap;
      overflow-wrap: anywhere; }
pre.source .line:target, pre.timeline .step:target { background: #ffe9a8; }
pre.source a.call, pre.unplaced a.call { color: #1f5fa8; text-decoration: none; display: block;
                                         padding-left: 7ch; }
pre.source span.call { display: block; padding-left: 7ch; }
pre.source .calls { color: #666; }
pre.timeline a { color: #1f5fa8; }
figure { margin: 1em 0; }
figure svg { max-width: 100%; height: auto; }
figcaption { font-size: 0.9em; color: #333; margin-top: 0.3em; }
code { font-size: 1.02em; background: #f2f2f2; padding: 0 0.2em; }
.run { background: #eef4fb; border-left: 4px solid #5b7db1; padding: 0.4em 1em; }
summary { cursor: pointer; font-weight: bold; }
section.glossary { border-top: 2px solid #5b7db1; margin-top: 2.5em; }
.glossary dt { font-weight: bold; margin-top: 0.6em; }
.glossary dt:target { background: #ffe9a8; }
a.term { color: inherit; text-decoration: underline dotted #1f5fa8; }
@media print {
  body { max-width: none; margin: 0; }
  section.lesson { break-before: page; }
  figure, pre.source { break-inside: avoid-page; }
  details > * { display: block; }
}
)";

// The part of the notes under a heading ("What it shows"), or before the
// first heading for "".
std::string notes_part(const std::string& notes, const std::string& heading)
{
    size_t start = 0;
    if (!heading.empty()) {
        size_t at = notes.find("## " + heading + "\n");
        if (at == std::string::npos)
            return "";
        start = at + heading.size() + 4;
    }
    size_t end = notes.find("\n## ", start);
    return notes.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
}

// The part under a heading as the notes in the reader's language head it
// ("Qué muestra"), or as English notes do.
std::string notes_part(const std::string& notes, const char* heading, const char* english)
{
    std::string part = notes_part(notes, heading);
    return part.empty() && heading != english ? notes_part(notes, english) : part;
}

// The text line of each step, as the timeline told it, when the timeline
// was told whole (its totals, its column heads, then a line a step).
std::vector<std::string> step_lines(const std::string& timeline, size_t steps)
{
    std::vector<std::string> lines;
    std::istringstream in(timeline);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() != steps + 2)
        return {};
    lines.erase(lines.begin(), lines.begin() + 2);
    return lines;
}

// A call of the C library that reads the clock without entering the
// kernel (through the vDSO, which the kernel maps into every process): on
// a line that made no system call, the learner looks for one.
std::string clock_call(const std::string& line)
{
    std::string code = line.substr(0, line.find("//"));
    for (const char* name : {"clock_gettime", "gettimeofday", "time"}) {
        std::string call = std::string(name) + "(";
        for (size_t at = code.find(call); at != std::string::npos; at = code.find(call, at + 1)) {
            char before = at == 0 ? ' ' : code[at - 1];
            if (!std::isalnum(static_cast<unsigned char>(before)) && before != '_' &&
                before != '.' && before != '>')
                return name;
        }
    }
    return "";
}

// Every step appears under the source: those no line shown made (a birth,
// an end, what stdio wrote at exit, a program run by exec) close it.
std::string unplaced_steps(const Lesson& lesson, const Run& run,
                           const std::vector<AnnotatedSource>& files)
{
    if (std::none_of(files.begin(), files.end(), [](const auto& f) { return f.found; }))
        return "";
    std::string unplaced;
    size_t count = 0;
    for (size_t i = 0; i < run.steps().size(); ++i) {
        const auto& source = run.steps()[i].source;
        bool shown = source && std::any_of(files.begin(), files.end(), [&](const auto& f) {
                         return f.found && f.path == source->file;
                     });
        if (shown)
            continue;
        ++count;
        unplaced += "<a class=\"call\" href=\"#" + step_anchor(lesson.name, i) + "\">" +
                    escape_markup(process_label(*run.process(run.steps()[i].pid), i)) + ": " +
                    escape_markup(describe(run, i)) + "</a>";
    }
    if (count == 0)
        return "";
    return "<details class=\"unplaced\"><summary>" +
           plural(long(count), "{1} step that no line of this source made",
                  "{1} steps that no line of this source made") +
           "</summary><pre class=\"unplaced\"><span class=\"calls\">" + unplaced +
           "</span></pre></details>\n";
}

void source_html(Lesson& lesson, const Run& run, const std::vector<AnnotatedSource>& files)
{
    std::string& out = lesson.source_html;
    for (size_t f = 0; f < files.size(); ++f) {
        const auto& file = files[f];
        if (!file.found)
            continue;
        // A header shows only the lines that made calls, with a little
        // around them.
        bool excerpt = !is_source_file(file.path);
        auto near_a_call = [&](int number) {
            auto next = file.steps.lower_bound(number - 2);
            return next != file.steps.end() && next->first <= number + 2;
        };
        std::string name = "<code>" + escape_markup(file.path) + "</code>";
        out += "<p class=\"file\">" +
               (excerpt ? fill(tr("{1}, the lines that made calls"), {name}) : name) + "</p>\n";
        out += "<pre class=\"source\">";
        bool skipped = false;
        for (size_t n = 0; n < file.lines.size(); ++n) {
            int number = int(n + 1);
            if (excerpt && !near_a_call(number)) {
                if (!skipped)
                    out += "   \xe2\x8b\xae\n";
                skipped = true;
                continue;
            }
            skipped = false;
            char head[16];
            (void)std::snprintf(head, sizeof head, "%4d  ", number);
            out += "<span class=\"line\" id=\"" + line_anchor(lesson.name, f, number) + "\">" +
                   head + escape_markup(printable(file.lines[n])) + "</span>\n";
            auto made = file.steps.find(number);
            if (std::string clock = clock_call(file.lines[n]);
                made == file.steps.end() && !clock.empty() && !excerpt)
                out += "<span class=\"calls\"><span class=\"call\">\xe2\x94\x94 " +
                       fill(tr("{1}() made no system call: the C library reads the clock from "
                               "the vDSO, a page the kernel maps into every process, without "
                               "entering the kernel"),
                            {clock}) +
                       "</span></span>";
            if (made == file.steps.end())
                continue;
            out += "<span class=\"calls\">";
            for (size_t i : made->second)
                out += "<a class=\"call\" href=\"#" + step_anchor(lesson.name, i) +
                       "\">\xe2\x94\x94 " +
                       escape_markup(process_label(*run.process(run.steps()[i].pid), i)) + ": " +
                       escape_markup(describe(run, i)) + "</a>";
            out += "</span>";
        }
        out += "</pre>\n";
    }
    out += unplaced_steps(lesson, run, files);
}

void timeline_html(Lesson& lesson, const Run& run, const std::vector<AnnotatedSource>& files)
{
    auto lines = step_lines(lesson.timeline, run.steps().size());
    if (lines.empty()) {
        lesson.timeline_html =
            "<pre class=\"timeline\">" + escape_markup(lesson.timeline) + "</pre>\n";
        return;
    }
    std::string out = "<pre class=\"timeline\">";
    out += escape_markup(lesson.timeline.substr(0, lesson.timeline.find('\n') + 1));
    size_t heads = lesson.timeline.find('\n') + 1;
    out +=
        escape_markup(lesson.timeline.substr(heads, lesson.timeline.find('\n', heads) + 1 - heads));
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        std::string link;
        if (const auto& source = run.steps()[i].source) {
            std::string told = "  [" + printable(base_name(source->file)) + ":" +
                               std::to_string(source->line) + "]";
            auto file = std::find_if(files.begin(), files.end(), [&](const AnnotatedSource& a) {
                return a.path == source->file;
            });
            if (line.ends_with(told) && file != files.end() && file->found) {
                line.erase(line.size() - told.size());
                link = "  <a href=\"#" +
                       line_anchor(lesson.name, size_t(file - files.begin()), source->line) +
                       "\">" + escape_markup(told.substr(2)) + "</a>";
            }
        }
        out += "<span class=\"step\" id=\"" + step_anchor(lesson.name, i) + "\">" +
               escape_markup(line) + link + "</span>\n";
    }
    lesson.timeline_html = out + "</pre>\n";
}

// Ids are unique in a page: each inlined SVG's get the lesson's prefix.
std::string scoped(std::string svg, const std::string& prefix)
{
    if (svg.starts_with("<?xml"))
        svg.erase(0, svg.find('\n') + 1); // inline, the SVG needs no XML declaration
    std::string out;
    out.reserve(svg.size() + 256);
    for (size_t i = 0; i < svg.size();) {
        bool id = svg.compare(i, 4, "id=\"") == 0 && (i == 0 || svg[i - 1] == ' ');
        bool url = svg.compare(i, 5, "url(#") == 0;
        if (id || url) {
            size_t mark = i + (id ? 4 : 5);
            out.append(svg, i, mark - i);
            out += escape_markup(prefix) + "-";
            i = mark;
        } else {
            out += svg[i++];
        }
    }
    return out;
}

} // namespace

std::string notes_html(const std::string& markdown)
{
    // CommonMark, by its reference library: a line break inside a
    // paragraph is a blank, and raw HTML is left out (its default).
    std::string text = printable_lines(markdown);
    std::unique_ptr<char, decltype(&std::free)> html(
        cmark_markdown_to_html(text.data(), text.size(), CMARK_OPT_NOBREAKS), &std::free);
    return html ? std::string(html.get()) : std::string();
}

void read_lesson_run(Lesson& lesson, const Run& run)
{
    auto files = annotated_sources(run, lesson.source_folders);
    source_html(lesson, run, files);
    timeline_html(lesson, run, files);
    lesson.in_this_run = in_this_run(run);
    lesson.player = player_data(run, lesson.name, files);
}

namespace {

// One lesson: what it shows, its source, the player, what it printed,
// its figures, its diagram, its timeline and what to try. On a page of its
// own, the player comes first.
std::string lesson_section(const Lesson& l, bool player_first = false)
{
    std::string page;
    std::string player;
    if (!l.player.empty())
        player = "<div class=\"player-holder\" data-lesson=\"" + escape_markup(l.name) +
                 "\"><script type=\"application/json\">" + l.player + "</script></div>\n";
    page += "<section class=\"lesson\" id=\"" + escape_markup(l.name) + "\">\n<h2>" +
            escape_markup(l.name) + "</h2>\n";
    page += notes_html(notes_part(l.notes, ""));
    const char* what_it_shows = tr("What it shows");
    if (std::string shows = notes_part(l.notes, what_it_shows, "What it shows"); !shows.empty())
        page += "<h3>" + std::string(what_it_shows) + "</h3>\n" + notes_html(shows);
    if (player_first)
        page += std::exchange(player, "");
    if (!l.source_html.empty())
        page += "<h3>" + std::string(tr("The source, with the system calls of each line")) +
                "</h3>\n" + l.source_html;
    page += player;
    if (!l.in_this_run.empty()) {
        page += "<div class=\"run\"><h3>" + std::string(tr("In this run")) + "</h3>\n<ul>\n";
        for (const auto& note : l.in_this_run)
            page += "<li>" + escape_markup(note) + "</li>\n";
        page += "</ul>\n<p>" +
                std::string(tr("Another run may differ where the scheduler chooses: which "
                               "process runs first, and so who waits.")) +
                "</p></div>\n";
    }
    page += "<h3>" + std::string(tr("What it printed")) + "</h3>\n";
    if (!l.command.empty())
        page += "<p><code>$ " + escape_markup(l.command) + "</code></p>\n";
    page += "<pre class=\"output\">" + escape_markup(l.output) + "</pre>\n";
    if (!l.figures.empty()) {
        page += "<h3>" + std::string(tr("The descriptor tables")) + "</h3>\n";
        for (size_t i = 0; i < l.figures.size(); ++i)
            page += "<figure class=\"plumbing\">\n" +
                    scoped(l.figures[i], l.name + "-p" + std::to_string(i + 1)) + "</figure>\n";
    }
    page += "<h3>" + std::string(tr("As a sequence diagram")) +
            "</h3>\n<figure class=\"diagram\">\n" + scoped(l.diagram, l.name + "-d") +
            "</figure>\n";
    page += "<details class=\"timeline\"><summary>" + std::string(tr("The whole timeline")) +
            "</summary>\n" +
            (l.timeline_html.empty()
                 ? "<pre class=\"timeline\">" + escape_markup(l.timeline) + "</pre>\n"
                 : l.timeline_html) +
            "</details>\n";
    const char* try_heading = tr("Try");
    if (std::string tries = notes_part(l.notes, try_heading, "Try"); !tries.empty())
        page += "<h3>" + std::string(try_heading) + "</h3>\n" + notes_html(tries);
    page += "</section>\n";
    return page;
}

// The page's head, to its <body>: in the reader's language, titled.
std::string page_head(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"" + std::string(language()) +
           "\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title + "</title>\n<style>" + kStyle +
           kPlayerStyle + "</style>\n</head>\n<body>\n";
}

// The end of a page: the glossary, then the player's words and its script.
std::string page_end()
{
    return glossary_html() + "<script type=\"application/json\" id=\"player-words\">" +
           player_words() + "</script>\n<script>" + kPlayerScript + "</script>\n</body>\n</html>\n";
}

} // namespace

std::string lesson_book(const std::vector<Lesson>& lessons)
{
    std::string title = tr("Unix process lessons: the system calls behind each one");
    std::string page = page_head(title) + "<h1>" + title + "</h1>\n<p>" +
                       tr("Each lesson is a small program, run and traced with <code>strace -f "
                          "-k</code>. For each: what it shows; its source, with the system "
                          "calls each line made in this run (each call links to its place in "
                          "the timeline, and back); what it printed, with snapshots of the "
                          "process table; each process's descriptor table at the moments that "
                          "changed it; the run as a sequence diagram; the whole timeline; and "
                          "what to try. The words a beginner may not know are explained in the "
                          "<a href=\"#glossary\">glossary</a> at the end, and linked to it "
                          "where they first come.") +
                       "</p>\n<nav><h2>" + tr("Lessons") + "</h2><ol>\n";
    for (const auto& l : lessons)
        page += "<li><a href=\"#" + escape_markup(l.name) + "\">" + escape_markup(l.name) +
                "</a></li>\n";
    page += "<li><a href=\"#glossary\">" + std::string(tr("Glossary")) + "</a></li>\n</ol></nav>\n";
    for (const auto& l : lessons)
        page += lesson_section(l);
    std::set<std::string_view> linked;
    return link_first_uses(page, linked) + page_end();
}

std::string lesson_page(const Lesson& lesson)
{
    std::string title = fill(tr("{1}: the system calls of one run"), {escape_markup(lesson.name)});
    std::string page =
        page_head(title) + "<h1>" + title + "</h1>\n<p>" +
        tr("A run traced with <code>strace -f</code>: step through it with the player (each "
           "process's descriptors, the open file descriptions they point at, the bytes in each "
           "pipe), then read the source with the calls each line made, the descriptor tables "
           "at each moment that changed them, the run as a sequence diagram and the whole "
           "timeline. The words a beginner may not know are explained in the <a "
           "href=\"#glossary\">glossary</a> at the end.") +
        "</p>\n" + lesson_section(lesson, true);
    std::set<std::string_view> linked;
    return link_first_uses(page, linked) + page_end();
}

} // namespace timeline
