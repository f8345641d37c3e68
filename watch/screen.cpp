#include "screen.hpp"

#include <curses.h>
#include <langinfo.h>

#include <algorithm>
#include <cstring>

#include "base/language.hpp"
#include "base/safe_text.hpp"
#include "base/vocabulary.hpp"

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

// At most `cols` characters; a line cut ends in "…", or in ">" where the
// character set has no such character.
std::string fitted(const std::string& text, int cols, bool utf8)
{
    std::string out =
        timeline::fit(utf8 ? text : timeline::ascii_text(text), size_t(std::max(1, cols)));
    const std::string ellipsis = "\xe2\x80\xa6";
    if (!utf8 && out.size() != text.size() && out.ends_with(ellipsis))
        out.replace(out.size() - ellipsis.size(), ellipsis.size(), ">");
    return out;
}

// One line of the family; a child's branch in the terminal's own
// line-drawing characters, which every locale and terminal can show.
void draw_line(int row, const Line& l, int cols, bool utf8)
{
    std::string text = fitted(l.text, cols - 1, utf8);
    attr_t a = l.heading ? A_BOLD : l.gone ? A_DIM : A_NORMAL;
    attron(a);
    // Striking through takes a combining character: UTF-8's only.
    mvaddstr(row, 0, (l.gone && utf8 ? struck(text) : text).c_str());
    if (l.branch >= 0 && l.branch + 2 < cols - 1) {
        mvaddch(row, l.branch, ACS_LLCORNER);
        addch(ACS_HLINE);
    }
    attroff(a);
}

} // namespace

bool utf8_locale()
{
    const char* set = nl_langinfo(CODESET);
    return strcasecmp(set, "UTF-8") == 0 || strcasecmp(set, "UTF8") == 0;
}

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

void draw(const std::vector<Line>& lines, const Pane* pane, const std::string& help, bool utf8)
{
    erase();
    int rows = LINES;
    int cols = COLS;
    int pane_rows = pane ? std::max(3, rows / 3) : 0;
    int tree_rows = rows - pane_rows - 1;
    for (int i = 0; i < int(lines.size()) && i < tree_rows; ++i)
        draw_line(i, lines[size_t(i)], cols, utf8);
    if (pane) {
        int top = rows - pane_rows - 1;
        attron(A_REVERSE);
        mvhline(top, 0, ' ', cols);
        mvaddstr(top, 1, timeline::tr("the command's terminal"));
        attroff(A_REVERSE);
        const auto& out = pane->lines();
        size_t first = out.size() > size_t(pane_rows - 1) ? out.size() - size_t(pane_rows - 1) : 0;
        for (size_t i = first; i < out.size(); ++i)
            mvaddstr(top + 1 + int(i - first), 0, fitted(out[i], cols - 1, utf8).c_str());
    }
    attron(A_DIM);
    mvaddstr(rows - 1, 0, fitted(help, cols - 1, utf8).c_str());
    attroff(A_DIM);
    refresh();
}

} // namespace family
