// A program's source with, under each line, the system calls that line
// made in this run: the question a beginner asks of a trace.
#include "views/source_view.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/language.hpp"
#include "reader/source_lines.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

// A source file's lines. Only a regular file of a source's size is read: a
// trace may name any path (a FIFO, /dev/zero).
bool read_source(const std::string& path, std::vector<std::string>& lines)
{
    constexpr std::uintmax_t kLargestSource = 4 << 20;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) ||
        std::filesystem::file_size(path, error) > kLargestSource || error)
        return false;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        lines.push_back(std::move(line));
    return bool(in.eof());
}

// A source in one of `folders`: at its path under it, or by its name alone
// (copied beside a lesson's traces).
bool source_in(const std::string& path, const std::vector<std::string>& folders,
               std::vector<std::string>& lines)
{
    std::string name = path.substr(path.rfind('/') + 1);
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        std::string there = folder;
        there += '/';
        lines.clear();
        if (path[0] != '/' && read_source(there + path, lines))
            return true;
        lines.clear();
        if (read_source(there + name, lines))
            return true;
    }
    lines.clear();
    return false;
}

// A relative path, as a program built with its source folder mapped away
// names its files (the lessons do, so that nothing of the machine that
// built them stays in them): from the current folder, then from `near`
// (a lesson's folder, where its recording was made), then from each
// folder that SYSCALL_TIMELINE_SOURCES lists, colon-separated.
bool find_source(const std::string& path, const std::vector<std::string>& near,
                 std::vector<std::string>& lines)
{
    if (read_source(path, lines))
        return true;
    if (!path.empty() && source_in(path, near, lines))
        return true;
    lines.clear();
    if (path.empty() || path[0] == '/')
        return false;
    const char* roots = std::getenv("SYSCALL_TIMELINE_SOURCES");
    std::string_view rest = roots ? roots : "";
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string root(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        lines.clear();
        root += '/';
        root += path;
        if (root.size() > path.size() + 1 && read_source(root, lines))
            return true;
    }
    lines.clear();
    return false;
}

} // namespace

std::vector<AnnotatedSource> annotated_sources(const Run& run, const std::vector<std::string>& near)
{
    std::vector<AnnotatedSource> files;
    for (size_t i = 0; i < run.steps().size(); ++i) {
        const auto& source = run.steps()[i].source;
        if (!source)
            continue;
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const AnnotatedSource& f) { return f.path == source->file; });
        if (file == files.end()) {
            files.push_back({.path = source->file});
            file = std::prev(files.end());
            file->found = find_source(source->file, near, file->lines);
        }
        file->steps[source->line].push_back(i);
    }
    // The program's own source first, then the headers its calls came from.
    std::stable_partition(files.begin(), files.end(),
                          [](const AnnotatedSource& f) { return is_source_file(f.path); });
    return files;
}

namespace {

// "        └ 0.108  ex2 32455  fd 1 now points where fd 3 does (out.txt)"
std::string step_line(const Run& run, size_t i)
{
    const Step& s = run.steps()[i];
    char time[32];
    (void)std::snprintf(time, sizeof time, "%.3f", s.time);
    return "        \xe2\x94\x94 " + std::string(time) + "  " +
           printable(process_label(*run.process(s.pid), i)) + "  " + printable(describe(run, i)) +
           "\n";
}

} // namespace

std::string source_text(const Run& run, const std::string& title)
{
    auto files = annotated_sources(run);
    if (files.empty())
        return fill(tr("{1}: no call knows its line: trace a program built with -g, with strace "
                       "-k"),
                    {printable(title)}) +
               "\n";
    std::string out;
    for (const auto& file : files) {
        out += file.found ? printable(file.path)
                          : fill(tr("{1}: not found here; its lines:"), {printable(file.path)});
        out += "\n";
        auto calls = [&](int number) {
            auto made = file.steps.find(number);
            if (made == file.steps.end())
                return;
            for (size_t i : made->second)
                out += step_line(run, i);
        };
        if (!file.found) {
            for (const auto& [number, steps] : file.steps) {
                out += std::to_string(number) + "\n";
                calls(number);
            }
            continue;
        }
        for (size_t n = 0; n < file.lines.size(); ++n) {
            std::string number = std::to_string(n + 1);
            out += std::string(number.size() < 5 ? 5 - number.size() : 0, ' ') + number + "  " +
                   printable(file.lines[n]) + "\n";
            calls(int(n + 1));
        }
    }
    // Every step appears: those no line made (a birth, a signal's arrival,
    // an end, what stdio wrote at exit after main returned, a program run
    // by exec) close the listing, in their order.
    std::string unplaced;
    for (size_t i = 0; i < run.steps().size(); ++i)
        if (!run.steps()[i].source)
            unplaced += step_line(run, i);
    if (!unplaced.empty())
        out += std::string("\n") + tr("steps that no line of the source made:") + "\n" + unplaced;
    return out;
}

} // namespace timeline
