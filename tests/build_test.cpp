// Every program needs the C library alone at run time: no libstdc++, no
// libm, no libgcc_s. (A sanitizer build links its runtime statically, and
// the compiler adds libm to that runtime's link line.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "harness.hpp"

using namespace harness;

TEST(Build, EveryProgramLinksOnlyLibc)
{
    auto programs = all_programs();
    ASSERT_FALSE(programs.empty());
    for (const auto& program : programs) {
        TempDir dir;
        Process readelf({.argv = {"/usr/bin/readelf", "-d", program}, .dir = dir.path()});
        ASSERT_TRUE(readelf.finish());
        ASSERT_EQ(readelf.exit_code(), 0) << readelf.err();

        std::vector<std::string> needed;
        static const std::regex entry(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
        const std::string& text = readelf.out();
        for (std::sregex_iterator m(text.begin(), text.end(), entry), end; m != end; ++m)
            needed.push_back((*m)[1]);
#ifdef SANITIZED_BUILD
        std::erase(needed, "libm.so.6");
#endif
        EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"}) << program;
    }
}

// The README's table of programs names every lesson of the list that the
// build and ./demo read, in its order, each in its own folder, in the
// words that open the lesson's notes.
TEST(Build, ReadmeTableFollowsTheListOfLessons)
{
    std::string readme = read_file(std::string(SOURCE_DIR) + "/README.md");
    std::vector<std::string> rows;
    static const std::regex row(R"(\n\| `([a-z_]+)` \| `([a-z]+)/` \| (.*) \|(?=\n))");
    for (std::sregex_iterator m(readme.begin(), readme.end(), row), end; m != end; ++m) {
        rows.push_back((*m)[2].str() + "/" + (*m)[1].str());
        // Each lesson's notes, beside its source, say it first; the book
        // takes them from there.
        std::string notes = read_file(std::string(SOURCE_DIR) + "/" + rows.back() + ".md");
        EXPECT_EQ(notes.substr(0, notes.find('\n')), (*m)[3].str()) << rows.back() << ".md";
        EXPECT_NE(notes.find("\n## What it shows\n\n"), std::string::npos) << rows.back();
        EXPECT_NE(notes.find("\n## Try\n\n- "), std::string::npos) << rows.back();
    }
    std::vector<std::string> listed;
    std::istringstream list(read_file(std::string(SOURCE_DIR) + "/lessons.txt"));
    for (std::string line; std::getline(list, line);)
        if (!line.empty() && line[0] != '#')
            listed.push_back(line.substr(0, line.size() - 4)); // without ".cpp"
    EXPECT_EQ(rows, listed);
    std::vector<std::string> names;
    for (const auto& path : listed)
        names.push_back(path.substr(path.find('/') + 1));
    EXPECT_EQ(names, lesson_names());
}

// Each lesson's notes in Spanish, beside the English ones: the same
// headings translated, a summary line for `process-lessons list`, and
// every command and every quoted output of the English (the spans between
// backquotes) quoted alike, since the lessons and the shell print the same
// bytes whatever language the notes are read in.
TEST(Build, SpanishNotesQuoteWhatTheEnglishQuotes)
{
    std::istringstream list(read_file(std::string(SOURCE_DIR) + "/lessons.txt"));
    static const std::regex quoted("`[^`\n]+`");
    int lessons = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        ++lessons;
        std::string stem = std::string(SOURCE_DIR) + "/" + line.substr(0, line.size() - 4);
        std::string english = read_file(stem + ".md");
        std::string spanish = read_file(stem + ".es.md");
        ASSERT_FALSE(spanish.empty()) << stem << ".es.md";
        std::string summary = spanish.substr(0, spanish.find('\n'));
        EXPECT_FALSE(summary.empty() || summary.starts_with("#")) << stem;
        EXPECT_NE(spanish.find("\n## Qué muestra\n\n"), std::string::npos) << stem;
        EXPECT_NE(spanish.find("\n## Pruebe\n\n- "), std::string::npos) << stem;
        EXPECT_LT(spanish.find("\n## Qué muestra\n"), spanish.find("\n## Pruebe\n")) << stem;
        auto spans = [](const std::string& text) {
            std::vector<std::string> found;
            for (std::sregex_iterator m(text.begin(), text.end(), quoted), end; m != end; ++m)
                found.push_back(m->str());
            std::sort(found.begin(), found.end());
            found.erase(std::unique(found.begin(), found.end()), found.end());
            return found;
        };
        EXPECT_EQ(spans(spanish), spans(english)) << stem;
        // As many things to try in both.
        auto tries = [](const std::string& text) {
            long n = 0;
            for (size_t at = text.find("\n- "); at != std::string::npos;
                 at = text.find("\n- ", at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(tries(spanish), tries(english)) << stem;
    }
    EXPECT_EQ(lessons, long(lesson_names().size()));
}

// family_watch in layers, one way down: reading /proc and the kernel's
// process events, the family's facts, the words, the screen, and main
// wiring them; of the timeline's code only its base (the one vocabulary);
// no file past about 400 lines.
TEST(Build, WatchLayersIncludeOnlyWhatIsBelow)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::path(SOURCE_DIR) / "watch";
    const std::map<std::string, std::vector<std::string>> below = {
        {"procfs", {"procfs"}},
        {"events", {"events"}},
        {"family", {"procfs", "family"}},
        {"words", {"procfs", "family", "words"}},
        {"screen", {"procfs", "family", "words", "screen"}},
    };
    static const std::regex include(R"re(#include "([^"]+)")re");
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".hpp")
            continue;
        ++files;
        std::string name = entry.path().filename().string();
        std::string layer = entry.path().stem().string();
        std::string text = read_file(entry.path().string());
        EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 400) << name;
        for (std::sregex_iterator m(text.begin(), text.end(), include), end; m != end; ++m) {
            std::string named = (*m)[1];
            if (named.find('/') != std::string::npos) {
                EXPECT_TRUE(named.starts_with("base/")) << name << " includes " << named;
                continue;
            }
            auto allowed = below.find(layer);
            if (allowed == below.end())
                continue; // main.cpp wires them
            std::string from = named.substr(0, named.find('.'));
            EXPECT_NE(std::find(allowed->second.begin(), allowed->second.end(), from),
                      allowed->second.end())
                << name << " (" << layer << ") includes " << named;
        }
    }
    EXPECT_GE(files, 11u);
}

// The timeline tool's folders are its layers, each built on the ones
// below it only: base, then the reader, then the model, then the views
// (recording beside the model, on the reader). Every include of the tool's
// own names its layer ("model/run.hpp"), no file grows past about 400
// lines, and the table of calls is the one place a call is listed.
TEST(Build, TimelineLayersIncludeOnlyWhatIsBelow)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::path(SOURCE_DIR) / "timeline";
    const std::map<std::string, std::vector<std::string>> below = {
        {"base", {"base"}},
        {"reader", {"base", "reader"}},
        {"model", {"base", "reader", "model"}},
        {"views", {"base", "reader", "model", "views"}},
        {"recording", {"base", "reader", "recording"}},
    };
    static const std::regex include(R"re(#include "([^"]+)")re");
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".hpp" && ext != ".def"))
            continue;
        ++files;
        std::string relative = fs::relative(entry.path(), root).string();
        std::string layer = relative.substr(0, relative.find('/'));
        std::string text = read_file(entry.path().string());
        if (ext != ".def") {
            EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 400) << relative;
        }
        // The model owns its state: the handlers work through its parts.
        if (layer == "model") {
            EXPECT_EQ(text.find("friend "), std::string::npos) << relative;
        }
        for (std::sregex_iterator m(text.begin(), text.end(), include), end; m != end; ++m) {
            std::string named = (*m)[1];
            std::string from = named.substr(0, named.find('/'));
            if (named.find('/') == std::string::npos) { // the wiring's own: "session.hpp"
                EXPECT_TRUE(fs::exists(root / named)) << relative << " includes " << named;
                EXPECT_EQ(below.count(layer), 0u) << relative << " includes " << named;
                continue;
            }
            auto allowed = below.find(layer);
            if (allowed == below.end())
                continue; // main.cpp, session, files, the fuzzer: they wire the layers
            EXPECT_NE(std::find(allowed->second.begin(), allowed->second.end(), from),
                      allowed->second.end())
                << relative << " (" << layer << ") includes " << named;
        }
    }
    EXPECT_GT(files, 40u);
    // A call's name appears in the table, not in a list of its own.
    for (const char* file : {"reader/trace_reader.cpp", "model/calls/table.cpp"}) {
        std::string text = read_file((root / file).string());
        EXPECT_EQ(text.find("\"clone\""), std::string::npos) << file;
        EXPECT_EQ(text.find("\"vfork\""), std::string::npos) << file;
    }
}
