// strace's way of writing the pieces of a call, for the reader alone:
// argument lists, quoted strings, descriptors with their targets, numbers
// and times. The decoders (decoders.hpp) build calls from them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/event.hpp"

namespace timeline::strace {

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

// A descriptor's target as -y writes it between < >: "a(b\\76c" is "a(b>c".
std::string unescape_target(std::string_view target);

// The byte of the escape that starts at text[i], just after its
// backslash: "\\n", "\\x1b", "\\303", "\\\\". Leaves `i` on its last character.
char escaped(std::string_view text, size_t& i);

void skip_blanks(std::string_view& s);

// "1712345678.123456", "0.000045": seconds as strace writes them, the
// whole text; nothing when it is not that.
std::optional<double> seconds(std::string_view text);

// Reads a leading decimal integer; nothing when there is none.
std::optional<long long> leading_number(std::string_view& s);
// The leading number of `s`, or `fallback`.
long long number_or(std::string_view s, long long fallback);

// A path as the process named it, made absolute with the folder that the
// descriptor argument before it names ("AT_FDCWD</tmp/x>").
std::string resolve(std::string_view folder_arg, const std::string& path);

// How open's flags ask for the file: "O_WRONLY|O_CREAT" writes.
Access access_of(std::string_view flags);

// "{tv_sec=1, tv_nsec=500000000}" in seconds.
double timespec_seconds(std::string_view text);

// The word after `key`: "SIGSTOP" in "WSTOPSIG(s) == SIGSTOP}]"; "" when
// there is no key.
std::string_view word_after(std::string_view text, std::string_view key);

// What a wait reported of a child: wait4's status
// ("[{WIFEXITED(s) && WEXITSTATUS(s) == 3}]", "[{WIFSIGNALED(s) && WTERMSIG(s)
// == SIGKILL}]", "[{WIFSTOPPED(s) && WSTOPSIG(s) == SIGSTOP}]",
// "[{WIFCONTINUED(s)}]"), or waitid's ("{si_signo=SIGCHLD,
// si_code=CLD_EXITED, si_pid=7, si_uid=0, si_status=3}").
call::Wait wait_report(int child, std::string_view status);
call::Wait waitid_report(std::string_view info);

// What follows "+++ " on a process's last line: "exited with 0 +++",
// "killed by SIGKILL (core dumped) +++"; nothing when it is neither.
std::optional<decltype(Event::what)> process_end(std::string_view what);

// What follows "--- " on a signal's line: "SIGCHLD {si_signo=SIGCHLD,
// si_code=CLD_EXITED, si_pid=2995, ...} ---".
Signal signal(std::string_view what);

// Whether an object a frame is in is a shared library (the C library, the
// loader), whose frames say nothing of which line of the program made the
// call: by its name, "libc.so.6", "ld-linux-x86-64.so.2".
bool shared_library(std::string_view object);

// "/usr/bin/prog(main+0x84) [0x1204]", as strace -k writes a frame: the
// object and the return address's offset in it.
std::optional<Frame> frame(std::string_view text);

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
