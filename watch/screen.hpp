// The live view's screen: the family's lines drawn with ncurses, the tree's
// branches in its line-drawing characters, and below them what a command
// wrote on its terminal.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "words.hpp"

namespace family {

// Whether the locale's character set (after setlocale) is UTF-8: whether
// text beyond ASCII can be shown at all.
bool utf8_locale();

// What a command wrote on its terminal, as lines: enough of a terminal for
// the lessons (new lines, carriage returns, backspaces; other control
// sequences are left out).
class Pane {
public:
    void add(const char* data, size_t n);
    void say(const std::string& text);
    const std::deque<std::string>& lines() const { return lines_; }

private:
    void new_line();
    void put(char c);
    std::deque<std::string> lines_{std::string()};
    size_t column_ = 0;
    int escape_ = 0;
};

// The lines (made with ASCII branches), the pane when there is a command,
// and the keys' help on the last row.
void draw(const std::vector<Line>& lines, const Pane* pane, const std::string& help, bool utf8);

} // namespace family
