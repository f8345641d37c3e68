// The lesson book: all fourteen lessons traced into one page, every
// diagram valid XML that renders, and the page checked in a real browser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "base/language.hpp"
#include "commands.hpp"
#include "harness.hpp"
#include "traced.hpp"

using namespace harness;
using traces::count;

namespace {

// Runs a command to its end; its status, and its output in `out`.
int run(const std::vector<std::string>& argv, const TempDir& dir, std::string* out = nullptr,
        Duration timeout = kDeadline)
{
    Process p({.argv = argv, .dir = dir.path()});
    EXPECT_TRUE(p.finish(timeout)) << argv[0];
    if (out)
        *out = p.out();
    EXPECT_EQ(p.exit_code(), 0) << argv[0] << ": " << p.err();
    return p.exit_code();
}

} // namespace

TEST(Book, AllLessonsRenderInABrowser)
{
    TempDir dir;
    Process demo({.argv = {DEMO_SCRIPT, "--book", dir / "book"},
                  .dir = dir.path(),
                  .env = {"DEMO_BIN=" + std::string(PROGRAM_DIR)}});
    ASSERT_TRUE(demo.finish(120s));
    if (demo.exit_code() == 1 && demo.err().find("tracing is refused") != std::string::npos)
        GTEST_SKIP() << demo.err();
    ASSERT_EQ(demo.exit_code(), 0) << demo.err();

    // Every diagram and every figure of the descriptor tables.
    for (const std::string& lesson : lesson_names()) {
        std::vector<std::string> svgs = {dir / "book" + "/" + lesson + "/diagram.svg"};
        for (int n = 1; n < 100; ++n) {
            std::string figure = dir / "book" + "/" + lesson + "/plumbing-" + (n < 10 ? "0" : "") +
                                 std::to_string(n) + ".svg";
            if (access(figure.c_str(), F_OK) != 0)
                break;
            svgs.push_back(figure);
        }
        // Each lesson but the lone sleeper makes a pipe, opens a FIFO,
        // forks or execs.
        EXPECT_EQ(svgs.size() > 1, lesson != "sleep_ladder")
            << lesson << ": " << svgs.size() - 1 << " figures";
        // One run of each checker for the lesson's files: each names the
        // file it refuses.
        std::vector<std::string> lint = {"/usr/bin/xmllint", "--noout"};
        std::vector<std::string> render = {"/usr/bin/rsvg-convert", "-f", "pdf", "-o",
                                           dir / "figures.pdf"};
        lint.insert(lint.end(), svgs.begin(), svgs.end());
        render.insert(render.end(), svgs.begin(), svgs.end());
        EXPECT_EQ(run(lint, dir), 0) << lesson;
        EXPECT_EQ(run(render, dir), 0) << lesson;
    }

    // Opened from disk by headless Chromium, with no network: the page as
    // the browser built it.
    std::string dom;
    ASSERT_EQ(
        run({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + (dir / "profile"), "--dump-dom",
             "file://" + (dir / "book") + "/index.html"},
            dir, &dom, 60s),
        0);
    const std::string open = "<section class=\"lesson\" id=\"";
    std::vector<std::string> found;
    for (size_t at = dom.find(open); at != std::string::npos; at = dom.find(open, at + 1)) {
        size_t id_end = dom.find('"', at + open.size());
        std::string id = dom.substr(at + open.size(), id_end - at - open.size());
        std::string body = dom.substr(at, dom.find("</section>", at) - at);
        found.push_back(id);
        EXPECT_NE(body.find("<svg"), std::string::npos) << id << ": no diagram";
        EXPECT_NE(body.find("</svg>"), std::string::npos) << id;
        EXPECT_NE(body.find("<details class=\"timeline\"><summary>"), std::string::npos) << id;
        EXPECT_NE(body.find("<pre class=\"timeline\">"), std::string::npos) << id;
        EXPECT_NE(body.find("$ ./demo " + id), std::string::npos) << id;
        EXPECT_NE(body.find("<h3>What it shows</h3>"), std::string::npos) << id;
        EXPECT_NE(body.find("<h3>Try</h3>"), std::string::npos) << id;
        EXPECT_NE(body.find("<pre class=\"source\">"), std::string::npos) << id << ": no source";
        EXPECT_EQ(body.find("<figure class=\"plumbing\">") != std::string::npos,
                  id != "sleep_ladder")
            << id;
        // Each call under a source line leads to its step, and each step
        // back to its line: plain anchors that land.
        // (A player's links to its steps, "#echo_five/12", are the
        // script's: checked below.)
        // (A word linked to the glossary lands at the end of the book.)
        std::regex link("href=\"#([^\"/]+)\"");
        size_t links = 0;
        for (std::sregex_iterator m(body.begin(), body.end(), link), end; m != end; ++m, ++links)
            EXPECT_NE(
                (m->str(1).starts_with("term-") ? dom : body).find("id=\"" + m->str(1) + "\""),
                std::string::npos)
                << id << ": " << (*m)[1];
        EXPECT_GE(links, 2u) << id;
        // The order a learner reads in.
        std::vector<std::string> order = {"What it shows",      "The source",
                                          "What it printed",    "As a sequence diagram",
                                          "The whole timeline", "Try"};
        size_t last = 0;
        for (const auto& part : order) {
            size_t where = body.find(part);
            EXPECT_TRUE(where != std::string::npos && where >= last) << id << ": " << part;
            last = where == std::string::npos ? last : where;
        }
    }
    EXPECT_EQ(found, lesson_names());
    // The words a beginner cannot know: each explained in the glossary,
    // linked once, from where it first comes.
    for (const char* term : {"fd", "pipe", "fifo", "zombie", "orphan", "end-of-data", "signal",
                             "close-on-exec", "waiting"}) {
        std::string href = std::string("href=\"#term-") + term + "\"";
        EXPECT_EQ(count(dom, href), 1u) << term;
        EXPECT_LT(dom.find(href), dom.find("id=\"glossary\"")) << term;
        EXPECT_NE(dom.find(std::string("<dt id=\"term-") + term + "\""), std::string::npos) << term;
    }
    // Its script is inline: nothing is fetched.
    EXPECT_EQ(dom.find("<script src"), std::string::npos);
    EXPECT_LT(std::filesystem::file_size(dir / "book" + "/index.html"), 10u << 20);

    // Each lesson's player, stepped in the browser.
    Process player(
        {.argv = {"/usr/bin/python3", std::string(SOURCE_DIR) + "/tests/browser/book_player.py",
                  dir / "book"},
         .dir = dir.path()});
    ASSERT_TRUE(player.finish(90s));
    EXPECT_EQ(player.exit_code(), 0) << player.out() << player.err();
}

// A learner's own program on a page of its own, in one command: the page
// opens from disk at a step, the player first, and steps as the book's do.
TEST(Book, OneRunOnAPageOfItsOwn)
{
    TempDir dir;
    Process tool(
        {.argv = {BIN_SYSCALL_TIMELINE, "--html", dir / "page.html", "--", TRACED_PIPELINE},
         .dir = dir.path()});
    ASSERT_TRUE(tool.finish(kDeadline));
    if (tool.exit_code() == 1 && tool.err().find("refuse") != std::string::npos)
        GTEST_SKIP() << tool.err();
    ASSERT_EQ(tool.exit_code(), 0) << tool.err();
    std::string page = read_file(dir / "page.html");
    EXPECT_NE(page.find("<h1>pipeline: the system calls of one run</h1>"), std::string::npos);
    // The player first, then the source with its calls, the figures, the
    // diagram and the timeline; what the program printed, from the trace.
    std::vector<std::string> order = {
        "class=\"player-holder\"", "The source, with the system calls",
        "What it printed",         "The descriptor tables",
        "As a sequence diagram",   "The whole timeline"};
    size_t last = 0;
    for (const auto& part : order) {
        size_t where = page.find(part, last);
        EXPECT_NE(where, std::string::npos) << part;
        last = where == std::string::npos ? last : where;
    }
    EXPECT_EQ(page.find("<script src"), std::string::npos);
    // Every step appears under the source: under its line, or in the list
    // of those no line made (an exec's program, an end).
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = page.find(what); at != std::string::npos; at = page.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<a class=\"call\" href=\"#pipeline-s"), count("\"a\":\"pipeline-s"));
    EXPECT_GT(count("\"a\":\"pipeline-s"), 10u);
    Process browser(
        {.argv = {"/usr/bin/python3", std::string(SOURCE_DIR) + "/tests/browser/run_page.py",
                  dir / "page.html", "pipeline", "4"},
         .dir = dir.path()});
    ASSERT_TRUE(browser.finish(90s));
    EXPECT_EQ(browser.exit_code(), 0) << browser.out() << browser.err();
}

// A teacher's own exercise in the book, with the commands the README
// gives: built with its folder mapped away (its source named "fork_once.c"),
// recorded into a lesson folder, given notes, and made into a page from
// elsewhere, with no environment variable: the command line, the source
// (found where the recording ran), the notes and what it printed are there.
TEST(Book, ATeachersExerciseNeedsNoSetUp)
{
    TempDir dir;
    std::string work = dir / "work";
    std::filesystem::create_directories(work);
    write_file(
        work + "/fork_once.c",
        "#include <stdio.h>\n#include <sys/wait.h>\n#include <unistd.h>\n"
        "int main(void)\n{\n    if (fork() == 0) {\n        puts(\"hijo\");\n"
        "        return 0;\n    }\n    wait(NULL);\n    puts(\"padre\");\n    return 0;\n}\n");
    Process cc({.argv = {"/usr/bin/cc", "-g", "-ffile-prefix-map=" + work + "/=", "-o", "fork_once",
                         "fork_once.c"},
                .dir = work});
    ASSERT_TRUE(cc.finish(kDeadline));
    ASSERT_EQ(cc.exit_code(), 0) << cc.err();
    std::string lesson = dir / "lessons/fork_once";
    Process record(
        {.argv = {BIN_SYSCALL_TIMELINE, "--record", lesson, "--", "./fork_once"}, .dir = work});
    ASSERT_TRUE(record.finish(kDeadline));
    if (record.exit_code() != 0 && record.err().find("refuse") != std::string::npos)
        GTEST_SKIP() << record.err();
    ASSERT_EQ(record.exit_code(), 0) << record.err();
    EXPECT_EQ(read_file(lesson + "/command"), "./fork_once\n");
    write_file(lesson + "/notes.md", "One fork, one wait.\n\n## Try\n\nTwo forks.\n");
    Process book({.argv = {BIN_SYSCALL_TIMELINE, "--book", dir / "index.html", lesson},
                  .dir = dir.path(),
                  .env = {"SYSCALL_TIMELINE_SOURCES="}});
    ASSERT_TRUE(book.finish(kDeadline));
    ASSERT_EQ(book.exit_code(), 0) << book.err();
    std::string page = read_file(dir / "index.html");
    EXPECT_NE(page.find("<code>$ ./fork_once</code>"), std::string::npos);
    EXPECT_NE(page.find("One fork, one wait."), std::string::npos);
    EXPECT_NE(page.find("puts(&quot;padre&quot;);"), std::string::npos) << "the source";
    EXPECT_NE(page.find("hijo\npadre"), std::string::npos) << "what it printed";
}

// The book in Spanish, made in-process as --book makes it: the page says
// its language, the player's words come written into the page in
// Spanish, the glossary heads its terms in Spanish and links their first
// use in the Spanish text, and the lesson's notes are its notes.es.md.
// Asked in English, the same folder gives the English page and notes.md.
TEST(Book, SpeaksTheReadersLanguage)
{
    TempDir dir;
    std::string lesson = dir / "date_handoff";
    std::filesystem::create_directories(lesson);
    std::filesystem::copy(std::string(SOURCE_DIR) +
                              "/tests/traces/date_handoff/01-date_handoff.trace",
                          lesson + "/01-date_handoff.trace");
    write_file(lesson + "/notes.md", "A child writes the date.\n\n## What it shows\n\nOne way.\n");
    write_file(lesson + "/notes.es.md",
               "Un hijo escribe la fecha.\n\n## Qué muestra\n\nUn solo sentido.\n\n## Pruebe\n\n"
               "- Otra vez.\n");
    auto book = [&](const char* language) {
        timeline::choose_language(language);
        EXPECT_EQ(timeline::write_book(dir / "index.html", {lesson}), 0);
        return read_file(dir / "index.html");
    };

    std::string page = book("es");
    EXPECT_NE(page.find("<html lang=\"es\">"), std::string::npos);
    size_t words = page.find("<script type=\"application/json\" id=\"player-words\">");
    ASSERT_NE(words, std::string::npos);
    std::string player = page.substr(words, page.find("</script>", words) - words);
    for (const char* said :
         {"\"first\":\"primero\"", "\"count\":\"paso {1} de {2}\"", "\"running\":\"en ejecución\"",
          "\"procs\":\"Procesos y sus descriptores\""})
        EXPECT_NE(player.find(said), std::string::npos) << said << " in " << player;
    EXPECT_NE(page.find("<dt id=\"term-pipe\">tubería</dt>"), std::string::npos);
    EXPECT_NE(page.find(">tubería</a>"), std::string::npos) << "the first use of tubería, linked";
    EXPECT_NE(page.find("<h3>Qué muestra</h3>\n<p>Un solo sentido.</p>"), std::string::npos);
    EXPECT_NE(page.find("<h3>Pruebe</h3>"), std::string::npos);
    EXPECT_EQ(page.find("A child writes the date."), std::string::npos);
    EXPECT_NE(page.find("<h3>Qué imprimió</h3>"), std::string::npos);

    page = book("en");
    EXPECT_NE(page.find("<html lang=\"en\">"), std::string::npos);
    EXPECT_NE(page.find("\"first\":\"first\""), std::string::npos);
    EXPECT_NE(page.find("<dt id=\"term-pipe\">pipe</dt>"), std::string::npos);
    EXPECT_NE(page.find("<h3>What it shows</h3>\n<p>One way.</p>"), std::string::npos);
    EXPECT_EQ(page.find("Un hijo escribe la fecha."), std::string::npos);
}
