// Text made safe for where the tool writes it, whatever bytes a trace
// held: a terminal must not receive control characters (an ESC would
// command it) nor invalid UTF-8; XML and HTML accept only some characters,
// in valid UTF-8. What cannot be shown is written as C writes it: "\e",
// "\x1b", "\xff".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace timeline {

// The length of the well-formed UTF-8 character that starts at s[i] (no
// overlong form, no surrogate, nothing past U+10FFFF, and none of the
// characters XML forbids or a terminal obeys: U+0080 to U+009F, U+FFFE,
// U+FFFF); 0 when there is none.
size_t utf8_character(std::string_view s, size_t i);

// For a terminal: printable ASCII and whole UTF-8 characters stay; blanks
// and every other byte are escaped ("\n", "\t", "\e", "\x7f", "\xff").
std::string printable(std::string_view text);
void append_printable(std::string& out, std::string_view text);

// For a terminal that is not UTF-8: ASCII as it is, a Latin letter with
// a mark as the letter ("tubería" is "tuberia", "ñ" "n"), the Spanish
// opening marks dropped, any other character a "?".
std::string ascii_text(std::string_view utf8);
// The first bytes of some data, escaped as C would write them ("ab\n\0",
// quotes and backslashes too): at most about `limit` characters.
std::string escape_bytes(std::string_view data, size_t limit);
void append_escaped_bytes(std::string& out, std::string_view data, size_t limit);

// Text of many lines (a lesson's notes) that anything may show: line ends
// and tabs kept, carriage returns dropped, every other control character
// and every byte that is not well-formed UTF-8 escaped ("\x1b").
std::string printable_lines(std::string_view text);

// For XML and HTML: & < > " as entities, line ends and tabs kept, carriage
// returns dropped, every other control character and every byte that is
// not well-formed UTF-8 escaped as text ("\x1b").
std::string escape_markup(std::string_view text);

// At most `n` characters (UTF-8 aware), with "…" when cut.
std::string fit(const std::string& text, size_t n);

} // namespace timeline
