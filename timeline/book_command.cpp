// --book: the lesson book made from each lesson's folder (its command,
// what it printed, its traces, its notes), and each lesson's diagram and
// descriptor figures written beside its traces.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "files.hpp"
#include "session.hpp"
#include "views/book.hpp"
#include "views/plumbing_figure.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"

namespace timeline {

namespace fs = std::filesystem;

namespace {

// Every lesson folder is looked at before any is traced, so that a wrong
// argument costs one line and no work.
void check_lesson_folder(const std::string& dir)
{
    std::error_code error;
    auto status = fs::status(dir, error);
    if (!fs::exists(status))
        files::fail(dir + ": " + std::strerror(ENOENT));
    if (!fs::is_directory(status))
        files::fail(dir + ": not a lesson folder (a folder with `command`, `output` and traces)");
    for (const char* file : {"command", "output"})
        if (!fs::is_regular_file(fs::path(dir) / file, error))
            files::fail(dir + ": no file `" + file + "` in it");
    if (files::trace_files(dir).empty())
        files::fail(dir + ": no trace in it");
}

} // namespace

int write_book(const std::string& page, const std::vector<std::string>& dirs)
{
    for (const auto& dir : dirs)
        check_lesson_folder(dir);
    files::check_writable(page);
    std::vector<Lesson> lessons;
    for (const auto& dir : dirs) {
        fs::path path(dir);
        if (path.filename().empty())
            path = path.parent_path();
        Lesson lesson;
        lesson.name = path.filename().string();
        lesson.command = files::read_whole(path / "command");
        lesson.command = lesson.command.substr(0, lesson.command.find('\n'));
        lesson.output = files::read_whole(path / "output");
        if (fs::is_regular_file(path / "notes.md"))
            lesson.notes = files::read_whole(path / "notes.md");
        auto traces = files::trace_files(path);
        TextTimeline text(lesson.name, [&](std::string_view part) { lesson.timeline += part; });
        Run run(files::is_fifo, kDiagramRows);
        run.record_world();
        run.add_sink(text);
        tell_source_lines(run);
        MergedTraces merged;
        files::open_traces(merged, traces);
        read_traces(merged, run);
        lesson.diagram = svg_diagram(run, lesson.name);
        lesson.figures = plumbing_figures(run, lesson.name);
        read_lesson_run(lesson, run);
        files::write_figures(path.string(), lesson.figures);
        files::write_file((path / "diagram.svg").string(), lesson.diagram);
        lessons.push_back(std::move(lesson));
    }
    files::write_file(page, lesson_book(lessons));
    return 0;
}

} // namespace timeline
