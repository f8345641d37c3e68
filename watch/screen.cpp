#include "screen.hpp"

#include <curses.h>

#include <algorithm>

#include "views/wording.hpp"

namespace family {
namespace {

// A line as struck through: each character followed by U+0336.
std::string struck(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        bool last_byte =
            i + 1 == text.size() || (static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80;
        if (last_byte && text[i] != ' ')
            out += "\xcc\xb6";
    }
    return out;
}

// One line of the family.
void draw_line(int row, const Line& l, int cols)
{
    std::string text = timeline::fit(l.text, size_t(std::max(1, cols - 1)));
    attr_t a = l.heading ? A_BOLD : l.gone ? A_DIM : A_NORMAL;
    attron(a);
    mvaddstr(row, 0, (l.gone ? struck(text) : text).c_str());
    attroff(a);
}

} // namespace

void Pane::add(const char* data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (escape_ > 0) { // ESC [ ... final byte
            escape_ = (escape_ == 1 && c != '[') || (c >= 0x40 && c <= 0x7e && escape_ > 1)
                          ? 0
                          : escape_ + 1;
            continue;
        }
        if (c == '\033')
            escape_ = 1;
        else if (c == '\n')
            new_line();
        else if (c == '\r')
            column_ = 0;
        else if (c == '\b')
            column_ = column_ > 0 ? column_ - 1 : 0;
        else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
            put(c);
    }
}

void Pane::say(const std::string& text)
{
    if (column_ > 0 || !lines_.back().empty())
        new_line();
    lines_.back() = text;
    new_line();
}

void Pane::new_line()
{
    lines_.emplace_back();
    column_ = 0;
    if (lines_.size() > 500)
        lines_.pop_front();
}

void Pane::put(char c)
{
    std::string& line = lines_.back();
    if (column_ < line.size())
        line[column_] = c;
    else
        line.push_back(c);
    ++column_;
}

void draw(const std::vector<Line>& lines, const Pane* pane, const std::string& help)
{
    erase();
    int rows = LINES;
    int cols = COLS;
    int pane_rows = pane ? std::max(3, rows / 3) : 0;
    int tree_rows = rows - pane_rows - 1;
    for (int i = 0; i < int(lines.size()) && i < tree_rows; ++i)
        draw_line(i, lines[size_t(i)], cols);
    if (pane) {
        int top = rows - pane_rows - 1;
        attron(A_REVERSE);
        mvhline(top, 0, ' ', cols);
        mvaddstr(top, 1, "the command's terminal");
        attroff(A_REVERSE);
        const auto& out = pane->lines();
        size_t first = out.size() > size_t(pane_rows - 1) ? out.size() - size_t(pane_rows - 1) : 0;
        for (size_t i = first; i < out.size(); ++i)
            mvaddstr(top + 1 + int(i - first), 0,
                     timeline::fit(out[i], size_t(std::max(1, cols - 1))).c_str());
    }
    attron(A_DIM);
    mvaddstr(rows - 1, 0, timeline::fit(help, size_t(std::max(1, cols - 1))).c_str());
    attroff(A_DIM);
    refresh();
}

} // namespace family
