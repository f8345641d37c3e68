// The words of the lessons that a beginner cannot know, each explained
// once at the end of the book and linked from its first use, in the
// reader's language.
#pragma once

#include <array>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace timeline {

struct Term {
    std::string_view id; // its anchor: "#term-<id>", the same in every language
    std::string_view word; // as the glossary heads it
    std::array<std::string_view, 4> forms; // as the pages use it, longest first
    std::string_view meaning;
};

// The terms in the chosen language (their words live as long as the
// program).
std::vector<Term> glossary();

// The glossary as a section of the book.
std::string glossary_html();

// `html` with the first use of each term not in `linked` made a link to
// its entry, and those terms added to `linked`. Only running text is
// touched: never a tag, an attribute, a link, a script, a style or a
// drawing.
std::string link_first_uses(const std::string& html, std::set<std::string_view>& linked);

} // namespace timeline
