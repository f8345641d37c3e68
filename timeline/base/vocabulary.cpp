#include "base/vocabulary.hpp"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/language.hpp"
#include "base/paths.hpp"

namespace timeline {

void append_thing_name(std::string& text, const Thing& t, Article article)
{
    // Each name twice in the catalogue: alone, and with its article (the
    // gender is the language's: "la tubería A", "el FIFO FIFOVEK").
    bool the = article == Article::definite;
    auto named = [&](const char* form, std::string_view part) { fill_into(text, form, {part}); };
    switch (t.kind) {
    case Thing::Kind::pipe:
        if (t.number > 0)
            named(the ? tr_ctx("with article", "pipe {1}") : tr("pipe {1}"), letters(t.number));
        else
            named(the ? tr_ctx("with article", "a pipe from outside") : tr("a pipe from outside"),
                  "");
        return;
    case Thing::Kind::socket:
        if (t.pair)
            named(the ? tr_ctx("with article", "socket pair {1}") : tr("socket pair {1}"),
                  letters(t.number));
        else
            named(the ? tr_ctx("with article", "socket {1}") : tr("socket {1}"),
                  std::to_string(t.number));
        return;
    case Thing::Kind::fifo:
        named(the ? tr_ctx("with article", "FIFO {1}") : tr("FIFO {1}"), base_name(t.path));
        return;
    case Thing::Kind::terminal:
        named(the ? tr_ctx("with article", "the terminal") : tr("the terminal"), "");
        return;
    case Thing::Kind::folder:
        named(the ? tr_ctx("with article", "its working folder") : tr("its working folder"), "");
        return;
    default:
        break;
    }
    std::string_view name = t.path.empty()                ? t.anon
                            : t.path.starts_with("/dev/") ? t.path
                                                          : base_name(t.path);
    text += name; // a file's or a device's name, in any language
}

std::string thing_name(const Thing& thing, Article article)
{
    std::string text;
    append_thing_name(text, thing, article);
    return text;
}

std::string_view end_name(EndHeld end)
{
    switch (end) {
    case EndHeld::read:
        return tr("read end");
    case EndHeld::write:
        return tr("write end");
    case EndHeld::both:
        return tr("both ends");
    case EndHeld::unknown:
        break;
    }
    return "";
}

std::string end_words(EndHeld end)
{
    std::string_view name = end_name(end);
    // TRANSLATORS: what follows a thing's name: "pipe A, read end".
    return name.empty() ? std::string() : fill(tr(", {1}"), {name});
}

std::string process_name(std::string_view program, int pid)
{
    std::string number = std::to_string(pid);
    return program.empty() ? fill(tr("pid {1}"), {number}) : fill("{1} {2}", {program, number});
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
