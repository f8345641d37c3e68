#include "views/wording.hpp"

#include <cstdio>

#include "base/language.hpp"
#include "base/paths.hpp"

namespace timeline {
std::string plural(long long n, const char* one, const char* many)
{
    return fill(tr_n(one, many, static_cast<unsigned long>(n < 0 ? -n : n)), {std::to_string(n)});
}

// Whole characters, at most `width` to a line, broken at blanks where
// there are some.
std::vector<std::string> wrap(const std::string& text, size_t width, size_t max_lines)
{
    std::vector<std::string> lines;
    width = std::max<size_t>(width, 8);
    size_t start = 0, last_start = 0;
    while (start < text.size() && lines.size() < max_lines) {
        last_start = start;
        size_t chars = 0, end = start, blank = std::string::npos;
        while (end < text.size() && chars < width) {
            if (text[end] == ' ')
                blank = end;
            end += std::max<size_t>(1, utf8_character(text, end));
            ++chars;
        }
        if (end < text.size() && blank != std::string::npos && blank > start)
            end = blank + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    // More than fits: the last line runs on to the width, then "…".
    if (start < text.size() && !lines.empty())
        lines.back() = fit(text.substr(last_start), width);
    return lines;
}

std::string channel_name(const Channel& c, Article article)
{
    std::string text;
    append_channel_name(text, c, article);
    return text;
}

// The typed facts of a channel, for the one place that names things.
Thing thing_of(const Channel& c)
{
    using K = Channel::Kind;
    Thing t{.number = c.number, .pair = c.pair, .path = c.path, .anon = anon_name(c.target)};
    switch (c.kind) {
    case K::pipe:
        t.kind = Thing::Kind::pipe;
        break;
    case K::fifo:
        t.kind = Thing::Kind::fifo;
        break;
    case K::socket:
        t.kind = Thing::Kind::socket;
        break;
    case K::terminal:
        t.kind = Thing::Kind::terminal;
        break;
    default:
        t.kind = c.working_folder ? Thing::Kind::folder : Thing::Kind::file;
        break;
    }
    return t;
}

void append_channel_name(std::string& text, const Channel& c, Article article)
{
    append_thing_name(text, thing_of(c), article);
}

EndHeld held(End end)
{
    return end == End::read ? EndHeld::read : end == End::write ? EndHeld::write : EndHeld::unknown;
}

std::string program_name(const std::string& program, int pid)
{
    return program.empty() ? fill(tr("pid {1}"), {std::to_string(pid)}) : program;
}

std::string process_label(const Process& p, size_t step)
{
    std::string name = p.program;
    for (const auto& [from, program] : p.programs)
        if (from <= step)
            name = program;
    std::string label = process_name(name, p.pid);
    if (p.thread_of != 0)
        return fill(tr("{1} thread {2}"), {label, std::to_string(p.thread_number)});
    return p.child ? fill(tr("{1} child"), {label}) : label;
}

const std::string& StepWords::of(const Run& run, size_t index, const Step& step)
{
    if (known_ && run_ == &run && index_ == index)
        return shown_;
    words_.clear();
    describe_into(words_, run, step);
    shown_.clear();
    append_printable(shown_, words_);
    run_ = &run;
    index_ = index;
    known_ = true;
    return shown_;
}

std::string description_mode(const WorldDescription& d)
{
    std::string mode = !d.access                    ? tr("from outside")
                       : d.end != End::unknown      ? std::string(end_name(held(d.end)))
                       : *d.access == Access::read  ? tr_ctx("access", "read")
                       : *d.access == Access::write ? tr_ctx("access", "write")
                                                    : tr("read and write");
    if (!d.flags.empty())
        mode += ", " + d.flags;
    return mode;
}

std::string description_detail(const WorldDescription& d)
{
    std::string refs = std::to_string(d.refs);
    if (d.offset)
        return fill(tr("offset {1} \xc2\xb7 refs {2}"), {std::to_string(*d.offset), refs});
    return fill(tr("refs {1}"), {refs});
}

std::string in_flight_text(const WorldObject& o)
{
    if (o.in_flight <= 0)
        return tr("empty");
    // A write waiting for room: the pipe is full, but how full, to the
    // byte, only the kernel knows until the write ends.
    std::string text = o.in_flight_exact
                           ? plural(o.in_flight, "{1} byte unread", "{1} bytes unread")
                           : plural(o.in_flight, "up to {1} byte unread", "up to {1} bytes unread");
    if (!o.in_flight_bytes.empty())
        text +=
            ": \"" + printable(o.in_flight_bytes) + (o.in_flight_whole ? "\"" : "\"\xe2\x80\xa6");
    return text;
}

} // namespace timeline
