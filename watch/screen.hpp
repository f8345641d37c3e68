// The live view's screen: the family's lines drawn with ncurses, and below
// them what a command wrote on its terminal.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "words.hpp"

namespace family {

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

// The lines, the pane when there is a command, and the keys' help on the
// last row.
void draw(const std::vector<Line>& lines, const Pane* pane, const std::string& help);

} // namespace family
