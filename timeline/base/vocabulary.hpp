// The names that both tools give what a process holds and who holds it:
// "pipe A", "a pipe from outside", "socket pair A", "FIFO FIFOVEK", "the
// terminal", ", read end", "echo_five 24733". This is the only place that
// writes them; the tools hand it typed facts, and decide nothing by
// reading a name back.
#pragma once

#include <string>
#include <string_view>

namespace timeline {

// What a descriptor is open on, as far as a name needs it.
struct Thing {
    enum class Kind { pipe, fifo, socket, counter, terminal, folder, file, other };
    Kind kind = Kind::other;
    // A pipe's or a socket's place among those of its kind that the run
    // made, from 1; 0 for a pipe from outside.
    int number = 0;
    bool pair = false; // a socket pair: two connected ends
    std::string_view path; // a FIFO's or a file's, as the process named it
    std::string_view anon; // what the kernel calls one without a path: "eventfd"
};

// How a name stands in a sentence: on its own ("fd 3: pipe A"), or as
// the thing a sentence speaks of, with the article that its language
// gives it (English none: "reads from pipe A"; Spanish "la tubería A",
// "el FIFO FIFOVEK").
enum class Article { none, definite };
void append_thing_name(std::string& text, const Thing& thing, Article article = Article::none);
std::string thing_name(const Thing& thing, Article article = Article::none);

// Which end of a pipe, a FIFO or a socket pair a descriptor holds.
enum class EndHeld { unknown, read, write, both };
// "read end", "write end", "both ends"; "" when unknown.
std::string_view end_name(EndHeld end);
// ", read end", ", write end", ", both ends"; "".
std::string end_words(EndHeld end);

// A process: its program and its pid, "echo_five 24733"; "pid 24733" when
// its program is not known.
std::string process_name(std::string_view program, int pid);

// "3.5 s", "152.0 ms", "17 µs"
std::string seconds_text(double seconds);

// A pipe's letters: 1 is "A", 26 "Z", 27 "AA".
std::string letters(int n);
void append_letters(std::string& text, int n);

} // namespace timeline
