// What every picture the tool draws shares: one colour per meaning, and
// numbers written the same way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/language.hpp"

namespace timeline {

// Every colour of the diagram and of the descriptor figures, once.
struct Palette {
    const char* fork = "#2a6fdb";
    const char* data = "#1f8a4c"; // bytes moving: arrows, and the pipes they go through
    const char* data_fill = "#e3f4ea";
    const char* collect = "#8a3ab9";
    const char* signal = "#d35400";
    const char* stopped = "#9aa5b1";
    const char* alive = "#444";
    const char* zombie = "#8e7f6f"; // dashed: ended, its entry kept
    const char* waiting = "#9cc3e6"; // blocked in a call
    const char* adopted = "#16a085";
    const char* zombie_fill = "#eeeeee"; // a zombie's box: it holds nothing that runs
    const char* zombie_edge = "#999";
    const char* text = "#111";
    const char* faint = "#666";
    const char* error = "#a01010";
    const char* exec = "#5b2c00";
    const char* exec_fill = "#fde3cf";
    const char* exec_edge = "#c07a3a";
    const char* note_fill = "#fff4c2";
    const char* note_edge = "#d4a72c";
    const char* head_fill = "#eef3fb"; // a process
    const char* head_edge = "#5b7db1";
    const char* break_fill = "#f3f3f3";
    const char* break_edge = "#bbb";
};
constexpr Palette kColour;

// A coordinate or a length: "12.5".
inline std::string svg_number(double v)
{
    char buf[32];
    (void)std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// How many characters a UTF-8 text has: what its width is measured in.
inline size_t characters(std::string_view text)
{
    size_t n = 0;
    for (char c : text)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The width of a box drawn `width` wide for its English words, where its
// words in the chosen language need `needed`: another language's words,
// often longer, widen it (to `most` at most). In English each box keeps
// the size its figures have always had, and a name too long for it ends
// in "…".
inline double room(double width, double needed, double most)
{
    if (language() == "en")
        return width;
    return std::max(width, std::min(needed + 1, most)); // a box already wider stays so
}

} // namespace timeline
