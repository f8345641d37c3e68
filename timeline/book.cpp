#include "book.hpp"

#include "wording.hpp"

namespace timeline {
namespace {

constexpr char kStyle[] = R"(
body { font-family: "DejaVu Sans", sans-serif; margin: 2em auto; max-width: 70em; color: #111; }
nav ol { columns: 3; }
section { border-top: 2px solid #5b7db1; margin-top: 2.5em; }
pre { background: #f6f6f6; padding: 0.8em; overflow-x: auto; font-size: 0.85em; }
figure { margin: 0; overflow-x: auto; }
code { font-size: 1.05em; }
)";

} // namespace

std::string lesson_book(const std::vector<Lesson>& lessons)
{
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Unix process lessons: the system calls behind each one</title>\n"
        "<style>" +
        std::string(kStyle) +
        "</style>\n</head>\n<body>\n"
        "<h1>Unix process lessons: the system calls behind each one</h1>\n"
        "<p>Each lesson was run and traced with <code>strace -f</code>. For each: the "
        "command, what the demonstration printed (with its snapshots of the process "
        "table), every system call that makes the lesson, and the same run as a "
        "sequence diagram.</p>\n<nav><ol>\n";
    for (const auto& l : lessons)
        page += "<li><a href=\"#" + escape_markup(l.name) + "\">" + escape_markup(l.name) +
                "</a></li>\n";
    page += "</ol></nav>\n";
    for (const auto& l : lessons) {
        std::string svg = l.diagram;
        if (svg.rfind("<?xml", 0) == 0)
            svg.erase(0, svg.find('\n') + 1); // inline, the SVG needs no XML declaration
        page += "<section class=\"lesson\" id=\"" + escape_markup(l.name) + "\">\n<h2>" +
                escape_markup(l.name) + "</h2>\n";
        page += "<p><code>$ " + escape_markup(l.command) + "</code></p>\n";
        page += "<h3>What it printed</h3>\n<pre class=\"output\">" + escape_markup(l.output) +
                "</pre>\n";
        page += "<h3>The system calls</h3>\n<pre class=\"timeline\">" + escape_markup(l.timeline) +
                "</pre>\n";
        if (!l.figures.empty()) {
            page += "<h3>The descriptor tables</h3>\n";
            for (std::string figure : l.figures) {
                if (figure.rfind("<?xml", 0) == 0)
                    figure.erase(0, figure.find('\n') + 1);
                page += "<figure class=\"plumbing\">\n" + figure + "</figure>\n";
            }
        }
        page +=
            "<h3>As a sequence diagram</h3>\n<figure class=\"diagram\">\n" + svg + "</figure>\n";
        page += "</section>\n";
    }
    page += "</body>\n</html>\n";
    return page;
}

} // namespace timeline
