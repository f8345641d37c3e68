// The run in words: one line per step.
#include <cstdio>

#include "render.hpp"

namespace timeline {
namespace {

std::string format(const char* fmt, double value)
{
    char buf[64];
    (void)std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

std::string plural(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "fd 3 (pipe A)", "fd 1 (the terminal)"
std::string where(const Run& run, const Step& s, const std::string& end = "")
{
    std::string text = "fd " + std::to_string(s.fd);
    if (s.channel) {
        text += " (" + run.channels()[*s.channel].name;
        if (!end.empty())
            text += ", " + end;
        text += ")";
    }
    return text;
}

std::string quoted(const Step& s)
{
    if (s.data.empty())
        return "";
    std::string shown = escape_bytes(s.data, 40);
    bool cut = size_t(s.total) > s.data.size() || shown.size() < s.data.size();
    return ": \"" + shown + "\"" + (cut ? "..." : "");
}

// A read or a write: "reads 1 byte, 11 times, from fd 4 (FIFOVEK): "que pasa21\n"".
std::string moved(const Run& run, const Step& s, const char* call, const char* verb,
                  const char* direction)
{
    if (s.count == 0)
        return std::string("waits in ") + call + " on " + where(run, s) +
               " (still waiting at the end)";
    return verb + (" " + plural(s.bytes, "byte", "bytes")) +
           (s.count > 1 ? ", " + std::to_string(s.count) + " times," : "") + " " + direction + " " +
           where(run, s) + quoted(s);
}

const Channel* channel_of(const Run& run, const Step& s)
{
    return s.channel ? &run.channels()[*s.channel] : nullptr;
}

} // namespace

std::string seconds_text(double s)
{
    if (s >= 10)
        return format("%.0f s", s);
    if (s >= 1)
        return format("%.1f s", s);
    if (s >= 0.001)
        return format("%.1f ms", s * 1e3);
    return format("%.0f \xc2\xb5s", s * 1e6);
}

std::string escape_bytes(std::string_view data, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < data.size() && out.size() < limit; ++i) {
        auto c = static_cast<unsigned char>(data[i]);
        switch (c) {
        case '\n':
            out += "\\n";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\0':
            out += "\\0";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '"':
            out += "\\\"";
            continue;
        default:
            break;
        }
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
            continue;
        }
        // A whole UTF-8 character ("í") stays as it is.
        size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                     : c >= 0xe0 && c <= 0xef ? 3
                     : c >= 0xf0 && c <= 0xf4 ? 4
                                              : 0;
        bool whole = len > 0 && i + len <= data.size();
        for (size_t k = 1; whole && k < len; ++k)
            whole = (static_cast<unsigned char>(data[i + k]) & 0xc0) == 0x80;
        if (whole) {
            out.append(data.substr(i, len));
            i += len - 1;
            continue;
        }
        char buf[8];
        (void)std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    }
    return out;
}

std::string escape_markup(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
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
        default:
            out += c;
        }
    }
    return out;
}

std::string process_label(const Run& run, const Process& p, size_t step)
{
    std::string name = p.program;
    for (const auto& [from, program] : p.programs)
        if (from <= step)
            name = program;
    (void)run;
    return name + " " + std::to_string(p.pid) + (p.child ? " child" : "");
}

std::string describe(const Run& run, size_t index)
{
    const Step& s = run.steps()[index];
    const Channel* ch = channel_of(run, s);
    bool fifo = ch && ch->kind == Channel::Kind::fifo;
    std::string name = ch ? ch->name : "";
    using K = Step::Kind;
    switch (s.kind) {
    case K::start:
        return "starts: " + s.text;
    case K::fork:
        return "fork(): child " + std::to_string(s.other) + " is born";
    case K::born:
        return s.other ? "is born, a copy of " + std::to_string(s.other) + " from its fork on"
                       : "is born";
    case K::exec:
        return "becomes " + s.text.substr(s.text.rfind('/') + 1) + ": execve " + s.text +
               " replaces the program, same pid";
    case K::exec_failed:
        return "execve " + s.text + " fails: " + s.error;
    case K::hidden_calls:
        return s.text + " ran: " + plural(s.count, "system call", "system calls") + " not shown";
    case K::pipe:
        return "creates " + name + ": fd " + std::to_string(s.fd) + " reads, fd " +
               std::to_string(s.fd2) + " writes";
    case K::mkfifo:
        return s.error == "EEXIST" ? "FIFO " + name + " is there already: reused"
               : s.error.empty()   ? "creates the FIFO " + name
                                   : "mkfifo " + name + " fails: " + s.error;
    case K::open: {
        std::string mode = s.text == "read" ? "reading" : s.text == "write" ? "writing" : s.text;
        std::string other = s.text == "read" ? "a writer" : "a reader";
        if (s.seconds < 0)
            return "waits in open of " + name + " for " + other + " (still waiting at the end)";
        std::string text = "opens " + name + " for " + mode + " as fd " + std::to_string(s.fd);
        if (fifo)
            text += s.seconds >= 0.001
                        ? ", after waiting " + seconds_text(s.seconds) + " for " + other
                        : " (" + other + " was there already)";
        return text;
    }
    case K::open_failed:
        return "open " + s.text + " fails: " + s.error;
    case K::close:
        return "closes " + where(run, s, s.text);
    case K::dup:
        return "fd " + std::to_string(s.fd) + " now points where fd " + std::to_string(s.fd2) +
               " does" + (ch ? " (" + name + ")" : "");
    case K::read:
        return moved(run, s, "read", "reads", "from");
    case K::end_of_data:
        return "read returned 0 on " + where(run, s) +
               (fifo                                    ? ": no writer left, end of phrase"
                : ch && ch->kind == Channel::Kind::pipe ? ": no writer left, end of data"
                                                        : ": end of input") +
               (s.count > 1 ? " (" + std::to_string(s.count) + " times)" : "");
    case K::write:
        return moved(run, s, "write", "writes", "to");
    case K::unread:
        return "waits until " + name + " has been read: asked " + plural(s.count, "time", "times") +
               " how many bytes are unread (last answer " + std::to_string(s.other) + "), paused " +
               seconds_text(s.seconds);
    case K::sleep:
        if (s.text == "goes on")
            return "goes on sleeping after the signal: " + seconds_text(s.seconds);
        return "sleeps " + seconds_text(s.seconds) +
               (s.count == 0 ? " (still asleep at the end)" : "");
    case K::getppid:
        return "getppid() = " + std::to_string(s.other) +
               (s.fd2 > 0 ? ": adopted, its parent was " + std::to_string(s.fd2) : ": its parent");
    case K::getpid:
        return "getpid() = " + std::to_string(s.other);
    case K::wait:
        if (s.count == 0)
            return "waits for a child to end (still waiting at the end)";
        return "wait() collects child " + std::to_string(s.other) +
               (s.text.empty() ? "" : ", which " + s.text) + "; it was a zombie for " +
               seconds_text(s.seconds);
    case K::wait_none:
        return "wait() finds no child: " + s.error;
    case K::kill:
        return "sends " + s.text + " to pid " + std::to_string(s.other);
    case K::exit:
        return "exit(" + std::to_string(s.other) + "): ends with status " + std::to_string(s.other);
    case K::ended:
        return "ends: " + s.text;
    case K::signal:
        if (s.text == "SIGCHLD")
            return "receives SIGCHLD: its child " + std::to_string(s.other) + " ended";
        if (s.text == "SIGPIPE")
            return "receives SIGPIPE: it wrote where no reader is left";
        return "receives " + s.text + (s.other ? " from pid " + std::to_string(s.other) : "");
    case K::zombie:
        return "zombie for " + seconds_text(s.seconds) + ", never collected";
    case K::still_running:
        return "still running when the trace ended";
    case K::call:
        return s.text;
    }
    return s.text;
}

std::string text_timeline(const Run& run, const std::string& title)
{
    const auto& steps = run.steps();
    std::vector<std::string> labels;
    size_t width = 7;
    for (size_t i = 0; i < steps.size(); ++i) {
        labels.push_back(process_label(run, *run.process(steps[i].pid), i));
        width = std::max(width, labels.back().size());
    }
    std::string out = title + ": " + plural(long(run.processes().size()), "process", "processes") +
                      ", " + plural(long(steps.size()), "step", "steps") + ", " +
                      seconds_text(run.duration()) + "\n";
    char line[64];
    (void)std::snprintf(line, sizeof line, "%8s  %-*s  ", "time", int(width), "process");
    out += line + std::string("step\n");
    for (size_t i = 0; i < steps.size(); ++i) {
        (void)std::snprintf(line, sizeof line, "%8.3f  ", steps[i].time);
        out += line + labels[i] + std::string(width - labels[i].size(), ' ') + "  " +
               describe(run, i) + "\n";
    }
    return out;
}

} // namespace timeline
