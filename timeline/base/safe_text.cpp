#include "base/safe_text.hpp"

#include <cstdio>

namespace timeline {
namespace {

unsigned char byte_at(std::string_view s, size_t i)
{
    return static_cast<unsigned char>(s[i]);
}

bool continuation(std::string_view s, size_t i)
{
    return i < s.size() && (byte_at(s, i) & 0xc0) == 0x80;
}

// "\n", "\e", "\x7f": a byte as C writes it in a string.
std::string escape_byte(unsigned char c)
{
    switch (c) {
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    case '\r':
        return "\\r";
    case '\0':
        return "\\0";
    case 0x1b:
        return "\\e";
    default:
        break;
    }
    char buf[8];
    (void)std::snprintf(buf, sizeof buf, "\\x%02x", c);
    return buf;
}

} // namespace

size_t utf8_character(std::string_view s, size_t i)
{
    unsigned char c = byte_at(s, i);
    size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    for (size_t k = 1; k < length; ++k)
        if (!continuation(s, i + k))
            return 0;
    if (length < 2)
        return 0;
    unsigned char second = byte_at(s, i + 1);
    if ((c == 0xc2 && second < 0xa0) || // U+0080 to U+009F: C1 controls
        (c == 0xe0 && second < 0xa0) || // overlong
        (c == 0xed && second >= 0xa0) || // surrogates
        (c == 0xf0 && second < 0x90) || // overlong
        (c == 0xf4 && second >= 0x90)) // past U+10FFFF
        return 0;
    if (c == 0xef && second == 0xbf && byte_at(s, i + 2) >= 0xbe) // U+FFFE, U+FFFF
        return 0;
    return length;
}

namespace {

// Copies text[i] to `out` when it shows as itself (printable ASCII, or a
// whole UTF-8 character, which it copies whole, moving `i` to its last
// byte), or else escaped.
void keep_or_escape(std::string& out, std::string_view text, size_t& i)
{
    unsigned char c = byte_at(text, i);
    if (c >= 0x20 && c < 0x7f) {
        out += char(c);
    } else if (size_t n = c >= 0x80 ? utf8_character(text, i) : 0; n > 0) {
        out.append(text.substr(i, n));
        i += n - 1;
    } else {
        out += escape_byte(c);
    }
}

} // namespace

std::string printable(std::string_view text)
{
    std::string out;
    append_printable(out, text);
    return out;
}

void append_printable(std::string& out, std::string_view text)
{
    // Most text is printable ASCII: copied in runs.
    size_t i = 0;
    while (i < text.size()) {
        size_t run = i;
        while (run < text.size() && byte_at(text, run) >= 0x20 && byte_at(text, run) < 0x7f)
            ++run;
        out.append(text.substr(i, run - i));
        if (run == text.size())
            break;
        keep_or_escape(out, text, run);
        i = run + 1;
    }
}

std::string escape_bytes(std::string_view data, size_t limit)
{
    std::string out;
    append_escaped_bytes(out, data, limit);
    return out;
}

void append_escaped_bytes(std::string& out, std::string_view data, size_t limit)
{
    size_t start = out.size();
    for (size_t i = 0; i < data.size() && out.size() - start < limit; ++i) {
        if (data[i] == '\\' || data[i] == '"')
            out += '\\';
        keep_or_escape(out, data, i);
    }
}

std::string escape_markup(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\r':
            break;
        case '\n':
        case '\t':
            out += text[i];
            break;
        default:
            keep_or_escape(out, text, i);
        }
    }
    return out;
}

std::string printable_lines(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\t')
            out += text[i];
        else if (text[i] != '\r')
            keep_or_escape(out, text, i);
    }
    return out;
}

std::string fit(const std::string& text, size_t n)
{
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) == 0x80)
            continue;
        if (++chars > n - 1 && i + 1 < text.size()) {
            size_t rest = 0;
            for (size_t k = i; k < text.size(); ++k)
                rest += (static_cast<unsigned char>(text[k]) & 0xc0) != 0x80;
            if (rest > 1)
                return text.substr(0, i) + "\xe2\x80\xa6";
        }
    }
    return text;
}

std::string ascii_text(std::string_view text)
{
    // U+00C0 to U+00FF, each as its letter without the mark.
    static constexpr std::string_view kLatin = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTs"
                                               "aaaaaaaceeeeiiiidnooooo/ouuuuyty";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        size_t n = byte < 0x80 ? 1 : utf8_character(text, i);
        if (n == 0) {
            out += '?';
            ++i;
            continue;
        }
        if (n == 1)
            out += text[i];
        else if (n == 2 && byte == 0xc3)
            out += kLatin[static_cast<unsigned char>(text[i + 1]) - 0x80];
        else if (n != 2 || byte != 0xc2 ||
                 (text[i + 1] != '\xbf' && text[i + 1] != '\xa1')) // not ¿ nor ¡
            out += '?';
        i += n;
    }
    return out;
}

} // namespace timeline
