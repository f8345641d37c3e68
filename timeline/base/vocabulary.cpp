#include "base/vocabulary.hpp"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/paths.hpp"

namespace timeline {

void append_thing_name(std::string& text, const Thing& t)
{
    switch (t.kind) {
    case Thing::Kind::pipe:
        if (t.number > 0) {
            text += "pipe ";
            append_letters(text, t.number);
        } else {
            text += "a pipe from outside";
        }
        return;
    case Thing::Kind::socket:
        if (t.pair) {
            text += "socket pair ";
            append_letters(text, t.number);
        } else {
            text += "socket ";
            text += std::to_string(t.number);
        }
        return;
    case Thing::Kind::fifo:
        text += "FIFO ";
        text += base_name(t.path);
        return;
    case Thing::Kind::terminal:
        text += "the terminal";
        return;
    case Thing::Kind::folder:
        text += "its working folder";
        return;
    default:
        break;
    }
    if (!t.path.empty())
        text += t.path.starts_with("/dev/") ? t.path : base_name(t.path);
    else
        text += t.anon;
}

std::string thing_name(const Thing& thing)
{
    std::string text;
    append_thing_name(text, thing);
    return text;
}

std::string_view end_name(EndHeld end)
{
    switch (end) {
    case EndHeld::read:
        return "read end";
    case EndHeld::write:
        return "write end";
    case EndHeld::both:
        return "both ends";
    case EndHeld::unknown:
        break;
    }
    return "";
}

std::string end_words(EndHeld end)
{
    std::string_view name = end_name(end);
    return name.empty() ? std::string() : ", " + std::string(name);
}

std::string process_name(std::string_view program, int pid)
{
    return program.empty() ? "pid " + std::to_string(pid)
                           : std::string(program) + " " + std::to_string(pid);
}

std::string seconds_text(double s)
{
    const char* form = s >= 10      ? "%.0f s"
                       : s >= 1     ? "%.1f s"
                       : s >= 0.001 ? "%.1f ms"
                                    : "%.0f \xc2\xb5s";
    double shown = s >= 1 ? s : s >= 0.001 ? s * 1e3 : s * 1e6;
    char text[64];
    (void)std::snprintf(text, sizeof text, form, shown);
    return text;
}

std::string letters(int n)
{
    std::string name;
    append_letters(name, n);
    return name;
}

void append_letters(std::string& text, int n)
{
    char letters[16];
    size_t count = 0;
    for (; n > 0 && count < sizeof letters; n = (n - 1) / 26)
        letters[count++] = char('A' + (n - 1) % 26);
    while (count > 0)
        text += letters[--count];
}

} // namespace timeline
