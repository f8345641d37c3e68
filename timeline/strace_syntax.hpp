// strace's way of writing a call, for the reader alone: a call's text
// decoded into a typed Call, and the pieces it is made of.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"

namespace timeline::strace {

// "name(args) = result <duration>", as strace wrote it after the pid and
// the time; or only a call's start ("write(4<pipe:[9]>, "hi", 2"), when
// `start_only`. Nothing when the text is not a call.
std::optional<Call> decode_call(std::string_view text, bool start_only = false);

// Whether a call counts from its start rather than its end: a write's
// bytes are in the pipe as soon as it starts, where a reader may take them
// before the writer's line ends; a sleep is what a process does next.
bool counts_from_start(const Call& call);

// "a, [b, c], {d=e}" split at its top-level commas.
std::vector<std::string_view> split_args(std::string_view text);
// The same into `args`, which it empties first, up to the first top-level
// `end` (when not '\0'); returns where that is, or npos.
size_t split_args(std::string_view text, std::vector<std::string_view>& args, char end = '\0');

// The bytes of a quoted string ("ab\n\303\255"...), escapes decoded, at
// most `limit` of them; the "..." that marks a cut string is dropped.
std::string unquote(std::string_view text, size_t limit = std::string::npos);

// A descriptor as -y writes it: "3</tmp/x/FIFOVEK>", "4<pipe:[4480]>", "5".
std::optional<Fd> parse_descriptor(std::string_view text);

// "1712345678.123456", "0.000045": seconds as strace writes them, the
// whole text; nothing when it is not that.
std::optional<double> seconds(std::string_view text);

// Reads a leading decimal integer; nothing when there is none.
std::optional<long long> leading_number(std::string_view& s);

// The first character of `s` outside quoted strings, brackets and
// descriptor targets for which `stop(index, char)` holds; npos when there
// is none. strace nests ( [ {, quotes strings and writes a descriptor's
// target in < >.
template <class Stop> size_t find_top_level(std::string_view s, Stop stop)
{
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            // A descriptor's target ("3</tmp/a(b>"): nothing in it is
            // structure, and a '<' or '>' in a name is written "\74",
            // "\76". What -yy adds nests: "UNIX-STREAM:[7->8]",
            // "/dev/null<char 1:3>".
            int inner = 0;
            while (++i < s.size()) {
                char t = s[i];
                if (t == '\\')
                    ++i;
                else if (t == '<' || t == '[')
                    ++inner;
                else if (inner > 0 && (t == ']' || (t == '>' && s[i - 1] != '-')))
                    --inner; // "->" inside is a socket's arrow, not an end
                else if (t == '>' && inner == 0)
                    break;
            }
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (depth == 0 && stop(i, c)) {
            return i;
        }
    }
    return std::string_view::npos;
}

} // namespace timeline::strace
