// The tools' words in the learners' language: every message the code says
// has its Spanish, the parts of each in both, and numbers counted as each
// language counts them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/language.hpp"
#include "harness.hpp"
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
    timeline::choose_language("es");
    ASSERT_EQ(timeline::language(), "es");
    EXPECT_EQ(counted("{1} process", "{1} processes"),
              (Said{"0 procesos", "1 proceso", "2 procesos"}));
    EXPECT_EQ(counted("{1} byte", "{1} bytes"), (Said{"0 bytes", "1 byte", "2 bytes"}));
    EXPECT_EQ(counted("{1} time", "{1} times"), (Said{"0 veces", "1 vez", "2 veces"}));
    // Parts in the order the language puts them.
    EXPECT_EQ(timeline::fill("{2} y {1}", {"A", "B"}), "B y A");
    EXPECT_EQ(timeline::fill("{1} {3}", {"A", "B"}), "A {3}");
}
