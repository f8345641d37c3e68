// The tools' words in the learners' language: every message the code says
// has its Spanish, the parts of each in both, and numbers counted as each
// language counts them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/language.hpp"
#include "harness.hpp"
#include "in_spanish.hpp"
#include "traced.hpp"
#include "views/wording.hpp"

using namespace harness;

namespace {

// Where a program is along PATH; "" when nowhere.
std::string where(const char* program)
{
    Process which({.argv = {"/bin/sh", "-c", std::string("command -v ") + program}});
    if (!which.finish() || which.exit_code() != 0)
        return "";
    std::string path = which.out();
    return path.substr(0, path.find('\n'));
}

// A catalogue's entries, as msgcat writes them unwrapped: each message's
// id (with its plural), and what it is in the language.
struct Entry {
    std::string id;
    std::string plural;
    std::vector<std::string> forms; // msgstr, or msgstr[0], msgstr[1]...
};

std::vector<Entry> entries(const std::string& po)
{
    std::vector<Entry> found;
    std::istringstream lines(po);
    std::string line;
    std::string* last = nullptr;
    auto unquoted = [](const std::string& text) {
        std::string q = text.substr(text.find('"') + 1);
        q.pop_back();
        return q;
    };
    while (std::getline(lines, line)) {
        if (line.starts_with("msgid ")) {
            found.push_back({.id = unquoted(line)});
            last = &found.back().id;
        } else if (line.starts_with("msgid_plural ") && !found.empty()) {
            found.back().plural = unquoted(line);
            last = &found.back().plural;
        } else if (line.starts_with("msgstr") && !found.empty()) {
            found.back().forms.push_back(unquoted(line));
            last = &found.back().forms.back();
        } else if (line.starts_with("\"") && last) {
            *last += unquoted(line);
        } else if (!line.starts_with("msgctxt")) {
            last = nullptr;
        }
    }
    return found;
}

std::multiset<std::string> parts(const std::string& text)
{
    std::multiset<std::string> found;
    static const std::regex part(R"(\{[0-9]+\})");
    for (std::sregex_iterator m(text.begin(), text.end(), part), end; m != end; ++m)
        found.insert(m->str());
    return found;
}

} // namespace

// The template made again from the code (po/update, as a translator makes
// it): no message of it is missing, untranslated or fuzzy in es.po, and
// each translation has the parts ({1}, {2}) its message has.
TEST(Language, EveryMessageHasItsSpanish)
{
    std::string msgcmp = where("msgcmp"), msgfmt = where("msgfmt"), msgcat = where("msgcat");
    if (where("xgettext").empty() || msgcmp.empty() || msgfmt.empty() || msgcat.empty())
        GTEST_SKIP() << "gettext's tools are not installed (Debian: gettext)";
    TempDir dir;
    std::string po = std::string(SOURCE_DIR) + "/po/es.po";
    Process made({.argv = {std::string(SOURCE_DIR) + "/po/update", dir / "now.pot"}});
    ASSERT_TRUE(made.finish());
    ASSERT_EQ(made.exit_code(), 0) << made.err();
    Process compared({.argv = {msgcmp, po, dir / "now.pot"}});
    ASSERT_TRUE(compared.finish());
    EXPECT_EQ(compared.exit_code(), 0) << "messages without their Spanish:\n" << compared.err();
    Process checked({.argv = {msgfmt, "--check", "--statistics", "-o", "/dev/null", po}});
    ASSERT_TRUE(checked.finish());
    EXPECT_EQ(checked.exit_code(), 0) << checked.err();
    EXPECT_EQ(checked.err().find("fuzzy"), std::string::npos) << checked.err();
    EXPECT_EQ(checked.err().find("untranslated"), std::string::npos) << checked.err();

    Process flat({.argv = {msgcat, "--no-wrap", "--no-location", po}});
    ASSERT_TRUE(flat.finish());
    auto all = entries(flat.out());
    EXPECT_GT(all.size(), 100u);
    for (const auto& e : all) {
        const std::string& id = e.id;
        for (const auto& form : e.forms) {
            if (!id.empty()) {
                EXPECT_EQ(parts(form), parts(id)) << id << " -> " << form;
            }
        }
    }
}

// 0, 1 and 2 of a thing, in English and in Spanish (both count 0 with the
// plural), each a whole phrase of the catalogue.
TEST(Language, PluralsCountAsEachLanguageCounts)
{
    using timeline::plural;
    auto counted = [](const char* one, const char* many) {
        std::vector<std::string> said;
        for (long long n : {0, 1, 2})
            said.push_back(plural(n, one, many));
        return said;
    };
    using Said = std::vector<std::string>;
    EXPECT_EQ(counted("{1} process", "{1} processes"),
              (Said{"0 processes", "1 process", "2 processes"}));
    EXPECT_EQ(counted("{1} byte", "{1} bytes"), (Said{"0 bytes", "1 byte", "2 bytes"}));
    InSpanish spanish;
    ASSERT_EQ(timeline::language(), "es");
    EXPECT_EQ(counted("{1} process", "{1} processes"),
              (Said{"0 procesos", "1 proceso", "2 procesos"}));
    EXPECT_EQ(counted("{1} byte", "{1} bytes"), (Said{"0 bytes", "1 byte", "2 bytes"}));
    EXPECT_EQ(counted("{1} time", "{1} times"), (Said{"0 veces", "1 vez", "2 veces"}));
    // Parts in the order the language puts them.
    EXPECT_EQ(timeline::fill("{2} y {1}", {"A", "B"}), "B y A");
    EXPECT_EQ(timeline::fill("{1} {3}", {"A", "B"}), "A {3}");
}

namespace {

// What a reader reads of a page: its text, without the markup, the
// scripts and styles, what the programs printed (their own words, in
// Spanish already) and the bytes quoted from their reads and writes.
std::string read_by_a_learner(std::string page)
{
    static const std::regex hidden(
        R"(<(script|style)\b[^>]*>[\s\S]*?</\1>|<pre class="output">[\s\S]*?</pre>)");
    static const std::regex quoted("&quot;[^&\\n]*&quot;|\"[^\"\\n]*\"");
    static const std::regex tag("<[^>]*>");
    // A system call named as called ("pipe()") is the same in any language.
    static const std::regex call(R"(\b[a-z_0-9]+\(\))");
    page = std::regex_replace(page, hidden, " ");
    page = std::regex_replace(page, tag, " ");
    page = std::regex_replace(page, call, " ");
    return std::regex_replace(page, quoted, " ");
}

// The English words that must not be left in what a Spanish reader
// reads, each with a line around it where one is found. (Not "pause" nor
// "read": names of system calls, which stay as they are.)
std::string english_in(const std::string& text)
{
    static const std::regex english(
        R"(\b(the|and|of|pipe|pipes|read end|write end|process|processes|child|parent|step|steps|reads|writes|closes|opens|waits|returns|after|before|ends|born|zombie|signal|figure|timeline|diagram|from outside|next|previous|play|unread|empty)\b)",
        std::regex::icase);
    std::string found;
    for (std::sregex_iterator m(text.begin(), text.end(), english), end; m != end; ++m) {
        size_t at = size_t(m->position());
        size_t from = text.rfind('\n', at);
        from = from == std::string::npos ? 0 : from + 1;
        found += "[" + m->str() + "] " +
                 text.substr(from, std::min<size_t>(160, text.find('\n', at) - from)) + "\n";
        if (found.size() > 4000)
            break;
    }
    return found;
}

} // namespace

// Under a Spanish locale the book of two kept lessons, their timelines,
// diagrams and descriptor figures speak Spanish: none of a list of English
// words is left in what a learner reads.
TEST(Language, ABookAndTwoTracesInSpanish)
{
    TempDir dir;
    const std::vector<std::string> spanish = {"LANG=es_ES.UTF-8",
                                              "LC_ALL=", "LC_MESSAGES=", "LANGUAGE="};
    std::vector<std::string> lessons;
    for (const char* lesson : {"echo_five", "two_children"}) {
        std::string folder = dir / lesson;
        std::filesystem::create_directories(folder);
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(TRACE_FIXTURES) + "/" + lesson))
            if (entry.path().extension() == ".trace")
                std::filesystem::copy_file(entry.path(),
                                           folder + "/" + entry.path().filename().string());
        lessons.push_back(folder);

        Process timeline({.argv = {BIN_SYSCALL_TIMELINE, "--title", lesson, "--svg",
                                   dir / (std::string(lesson) + ".svg"), "--plumbing",
                                   dir / (std::string(lesson) + "-figures"),
                                   folder + "/01-" + lesson + ".trace"},
                          .env = spanish});
        ASSERT_TRUE(timeline.finish(kDeadline));
        ASSERT_EQ(timeline.exit_code(), 0) << timeline.err();
        EXPECT_EQ(english_in(read_by_a_learner(timeline.out())), "") << lesson << " timeline";
        std::string svg = read_file(dir / (std::string(lesson) + ".svg"));
        EXPECT_EQ(english_in(read_by_a_learner(svg)), "") << lesson << " diagram";
        std::string figure = read_file(dir / (std::string(lesson) + "-figures/plumbing-01.svg"));
        EXPECT_EQ(english_in(read_by_a_learner(figure)), "") << lesson << " figure";
    }
    std::vector<std::string> argv = {BIN_SYSCALL_TIMELINE, "--book", dir / "index.html"};
    argv.insert(argv.end(), lessons.begin(), lessons.end());
    Process book({.argv = argv, .env = spanish});
    ASSERT_TRUE(book.finish(kDeadline));
    ASSERT_EQ(book.exit_code(), 0) << book.err();
    std::string page = read_file(dir / "index.html");
    EXPECT_NE(page.find("<html lang=\"es\""), std::string::npos);
    EXPECT_EQ(english_in(read_by_a_learner(page)), "") << "the book";

    // A program traced here, its page and its timeline.
    if (!traces::tracing_refused().empty())
        return;
    std::vector<std::string> with_spanish = spanish;
    with_spanish.emplace_back(traces::kNoLeakCheck); // the tool under strace
    Process traced(
        {.argv = {BIN_SYSCALL_TIMELINE, "--html", dir / "run.html", "--", BIN_DATE_HANDOFF},
         .dir = dir.path(),
         .env = with_spanish});
    ASSERT_TRUE(traced.finish(kDeadline));
    ASSERT_EQ(traced.exit_code(), 0) << traced.err();
    // What the program printed comes first, as it printed it.
    size_t told = traced.out().find("date_handoff: ");
    ASSERT_NE(told, std::string::npos) << traced.out();
    std::string timeline = traced.out().substr(told);
    EXPECT_EQ(english_in(read_by_a_learner(timeline)), "") << "a traced run";
    EXPECT_EQ(english_in(read_by_a_learner(read_file(dir / "run.html"))), "") << "its page";
}
