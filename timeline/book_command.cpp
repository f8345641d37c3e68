// --book: the lesson book made from each lesson's folder (its command,
// what it printed, its traces, its notes), and each lesson's diagram and
// descriptor figures written beside its traces. --html: one run on a page
// of its own, made like a lesson of the book.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/language.hpp"
#include "commands.hpp"
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
        files::fail(dir + ": not a lesson folder (a folder with traces, as --record makes)");
    if (files::trace_files(dir).empty())
        files::fail(dir + ": no trace in it");
}

// The first line of a file of the lesson folder; "" without the file.
std::string first_line(const fs::path& file)
{
    if (!fs::is_regular_file(file))
        return "";
    std::string text = files::read_whole(file);
    return text.substr(0, text.find('\n'));
}

// What the run's processes wrote on the standard output and error they
// were given (a terminal, a pipe, a file), as far as the trace told.
std::string printed(const Run& run)
{
    std::set<size_t> given;
    std::map<size_t, std::string> terminals;
    if (const WorldLog* world = run.world())
        for (const auto& change : world->changes()) {
            for (const auto& [id, d] : change.descriptions)
                if (d.outside && d.object && (d.given_fd == 1 || d.given_fd == 2))
                    given.insert(*d.object);
            for (const auto& [id, o] : change.objects)
                if (o.received > 0)
                    terminals[id] = o.received_bytes;
        }
    std::erase_if(terminals, [&](const auto& entry) { return !given.contains(entry.first); });
    std::string text;
    for (const auto& [id, bytes] : terminals)
        text += bytes;
    return text;
}

// The lesson's notes in the reader's language (notes.es.md) where the
// folder has them, else as written (notes.md); "" without notes.
std::string notes(const fs::path& folder)
{
    std::string_view chosen = language();
    fs::path translated = folder / ("notes." + std::string(chosen) + ".md");
    if (chosen != "en" && fs::is_regular_file(translated))
        return files::read_whole(translated);
    if (fs::is_regular_file(folder / "notes.md"))
        return files::read_whole(folder / "notes.md");
    return "";
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
        // What --record keeps beside the traces: the command line, and the
        // folder it ran in, where its sources are; what it printed, if the
        // folder has it, else as the trace saw it.
        lesson.command = first_line(path / "command");
        lesson.source_folders = {path.string(), first_line(path / "sources")};
        lesson.notes = notes(path);
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
        lesson.output = fs::is_regular_file(path / "output") ? files::read_whole(path / "output")
                                                             : printed(run);
        files::write_figures(path.string(), lesson.figures);
        files::write_file((path / "diagram.svg").string(), lesson.diagram);
        lessons.push_back(std::move(lesson));
    }
    files::write_file(page, lesson_book(lessons));
    return 0;
}

namespace {

class HtmlPage : public StepSink {
public:
    HtmlPage(std::string path, std::string name, std::string command)
        : path_(std::move(path)), name_(std::move(name)), command_(std::move(command))
    {
    }
    bool needs_world() const override { return true; }
    void finish(const Run& run) override
    {
        Lesson lesson;
        lesson.name = name_;
        lesson.command = command_;
        lesson.output = printed(run);
        lesson.diagram = svg_diagram(run, name_);
        lesson.figures = plumbing_figures(run, name_);
        read_lesson_run(lesson, run);
        files::write_file(path_, lesson_page(lesson));
    }

private:
    std::string path_;
    std::string name_;
    std::string command_;
};

} // namespace

std::unique_ptr<StepSink> html_page(const std::string& path, const std::string& title,
                                    const std::string& command)
{
    // The page's name is an anchor too (#name/12 opens step 12): one word,
    // the program's name without its folder.
    std::string name;
    for (char c : title.substr(title.rfind('/') + 1))
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
    return std::make_unique<HtmlPage>(path, name.empty() ? "run" : name, command);
}

} // namespace timeline
