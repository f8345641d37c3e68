// The language the tools speak. The messages are written in English, and
// English is what they say under the C locale, byte for byte; a catalogue
// of the C library's gettext (share/locale/<language>/LC_MESSAGES/
// process-lessons.mo) gives them in the learner's language, chosen as
// every program chooses it: from LC_ALL, LC_MESSAGES, LANG and LANGUAGE.
//
// A whole sentence is the unit of translation: its variable parts are
// numbered ("{1} closes {2}"), so that a language may put them in its own
// order; nothing is glued from translated fragments.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace timeline {

// The catalogue's name, shared by both tools and process-lessons.
inline constexpr const char* kTextDomain = "process-lessons";

// Chooses the language once, at the start: `forced` ("es", "en"), as a
// teacher asks with --lang, or PROCESS_LESSONS_LANG's, or else the
// locale's. A language asked for
// through a locale the machine has not generated (es_AR.UTF-8 where only
// C.UTF-8 exists) is spoken all the same. Only the messages' category is
// set (numbers stay as the C locale writes them), and, with `characters`,
// the character set too (for a screen that draws with ncurses).
void choose_language(std::string_view forced = {}, bool characters = false);
// The same from a command line: "--lang LANGUAGE", anywhere before a
// "--", is taken out of `args` and chosen; without it, the locale's.
// False when LANGUAGE is not one it knows (nothing is chosen then).
bool choose_language_from(std::vector<std::string>& args, bool characters = false);
// A message marked for the catalogue where it is written (a table's
// help text), translated with tr() where it is said.
constexpr const char* N_(const char* english)
{
    return english;
}
// In a child about to run another program (strace, the command traced or
// watched): LANGUAGE as the user left it, whatever the tool chose.
void leave_language();
// Whether `name` is a language --lang accepts: "en", "es".
bool known_language(std::string_view name);
// The language chosen: "en" or "es".
std::string_view language();

// The message in the chosen language.
const char* tr(const char* english);
// The same, where one English word needs two translations: `context`
// tells them apart ("fem", "button").
const char* tr_ctx(const char* context, const char* english);
// Of `n` things: "1 byte" or "{1} bytes", as the language counts them.
const char* tr_n(const char* one, const char* many, unsigned long n);

// `text` with {1}, {2}... replaced by the parts, in any order.
std::string fill(std::string_view text, std::initializer_list<std::string_view> parts);
// The same, appended to `out`.
void fill_into(std::string& out, std::string_view text,
               std::initializer_list<std::string_view> parts);

} // namespace timeline
