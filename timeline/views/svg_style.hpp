// What every picture the tool draws shares: one colour per meaning, and
// numbers written the same way.
#pragma once

#include <cstdio>
#include <string>

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

} // namespace timeline
