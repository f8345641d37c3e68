#include "base/language.hpp"

#include <clocale>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <libintl.h>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace timeline {
namespace {

// The catalogues beside the program: <prefix>/bin/tool and
// <prefix>/libexec/process-lessons/tool find <prefix>/share/locale, in
// the build tree as where it is installed.
std::string catalogue_folder()
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path at = fs::read_symlink("/proc/self/exe", error).parent_path();
    for (int up = 0; up < 2 && !at.empty(); ++up) {
        at = at.parent_path();
        if (fs::is_directory(at / "share" / "locale", error))
            return (at / "share" / "locale").string();
    }
    return "/usr/share/locale";
}

// The locale the environment asks for the messages, as setlocale reads it.
std::string_view asked()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name); value && *value)
            return value;
    return "C";
}

bool plain(std::string_view locale)
{
    return locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

bool utf8(std::string_view locale)
{
    return locale.find("UTF-8") != std::string_view::npos ||
           locale.find("utf8") != std::string_view::npos;
}

// LANGUAGE as the user gave it, for the programs the tools start.
bool language_changed = false;
std::string language_given;
bool language_was_set = false;

// Speaks `language` ("es", "es_AR") whatever locales the machine has: the
// messages' category in C.UTF-8, which is not the C locale for gettext, so
// that it takes LANGUAGE.
void speak(const std::string& language)
{
    (void)std::setlocale(LC_MESSAGES, "C.UTF-8");
    if (!language_changed) {
        const char* given = std::getenv("LANGUAGE");
        language_was_set = given != nullptr;
        language_given = given ? given : "";
        language_changed = true;
    }
    (void)setenv("LANGUAGE", language.c_str(), 1);
}

// Whether a catalogue speaks: without one, every message is its English
// id, given back at no cost.
bool translating = false;

} // namespace

void choose_language(std::string_view forced, bool characters)
{
    leave_language(); // chosen again: from what the user gave
    (void)bindtextdomain(kTextDomain, catalogue_folder().c_str());
    std::string_view locale = asked();
    if (characters && !std::setlocale(LC_CTYPE, "") && utf8(locale))
        (void)std::setlocale(LC_CTYPE, "C.UTF-8");
    // The catalogue as it is: a screen that is not UTF-8 makes it ASCII
    // itself (ascii_text).
    (void)bind_textdomain_codeset(kTextDomain, "UTF-8");
    (void)textdomain(kTextDomain);
    // A language chosen for all of them: process-lessons --lang sets it.
    if (const char* chosen = std::getenv("PROCESS_LESSONS_LANG");
        forced.empty() && chosen && known_language(chosen))
        forced = chosen;
    if (forced == "en") {
        (void)std::setlocale(LC_MESSAGES, "C");
    } else if (!forced.empty()) {
        speak(std::string(forced));
    } else if (!std::setlocale(LC_MESSAGES, "") && !plain(locale)) {
        // A locale not generated here: its language all the same, first
        // with its territory (es_AR), then without (es).
        std::string name(locale.substr(0, locale.find_first_of(".@")));
        const char* listed = std::getenv("LANGUAGE");
        speak(listed && *listed ? std::string(listed)
                                : name + ":" + name.substr(0, name.find('_')));
    }
    translating = true;
    translating = language() != "en";
}

bool choose_language_from(std::vector<std::string>& args, bool characters)
{
    for (size_t i = 0; i < args.size() && args[i] != "--"; ++i)
        if (args[i] == "--lang") {
            if (i + 1 == args.size() || !known_language(args[i + 1]))
                return false;
            std::string forced = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            choose_language(forced, characters);
            return true;
        }
    choose_language({}, characters);
    return true;
}

void leave_language()
{
    if (!language_changed)
        return;
    if (language_was_set)
        (void)setenv("LANGUAGE", language_given.c_str(), 1);
    else
        (void)unsetenv("LANGUAGE");
}

bool known_language(std::string_view name)
{
    return name == "en" || name == "es";
}

std::string_view language()
{
    // TRANSLATORS: the code of the language of this catalogue.
    return tr_ctx("language code", "en");
}

const char* tr(const char* english)
{
    return translating ? dgettext(kTextDomain, english) : english;
}

const char* tr_ctx(const char* context, const char* english)
{
    if (!translating)
        return english;
    std::string key = std::string(context) + '\004' + english;
    const char* found = dgettext(kTextDomain, key.c_str());
    return found == key.c_str() ? english : found;
}

const char* tr_n(const char* one, const char* many, unsigned long n)
{
    if (!translating)
        return n == 1 ? one : many;
    return dngettext(kTextDomain, one, many, n);
}

std::string fill(std::string_view text, std::initializer_list<std::string_view> parts)
{
    std::string out;
    out.reserve(text.size() + 32);
    fill_into(out, text, parts);
    return out;
}

void fill_into(std::string& out, std::string_view text,
               std::initializer_list<std::string_view> parts)
{
    for (size_t i = 0; i < text.size();) {
        size_t open = text.find('{', i);
        out.append(text.substr(i, open == std::string_view::npos ? open : open - i));
        if (open == std::string_view::npos)
            return;
        size_t n = 0;
        size_t end = open + 1;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            n = n * 10 + size_t(text[end++] - '0');
        if (end > open + 1 && n >= 1 && n <= parts.size() && end < text.size() &&
            text[end] == '}') {
            out.append(parts.begin()[n - 1]);
            i = end + 1;
        } else {
            out += '{';
            i = open + 1;
        }
    }
}

} // namespace timeline
