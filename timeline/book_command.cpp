// --book: the lesson book made from each lesson's folder (its command,
// what it printed, its traces, its notes), and each lesson's diagram and
// descriptor figures written beside its traces.
#include <filesystem>
#include <string>
#include <vector>

#include "files.hpp"
#include "session.hpp"
#include "views/book.hpp"
#include "views/plumbing_figure.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"

namespace timeline {

namespace fs = std::filesystem;

int write_book(const std::string& page, const std::vector<std::string>& dirs)
{
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
        if (traces.empty())
            files::fail(dir + ": no trace in it");
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
