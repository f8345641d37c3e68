// A process's life in words (born, exec'd, adopted, ended, collected),
// and the words every step ends with: why it failed, where it came from.
#include <string_view>
#include <vector>

#include "base/paths.hpp"
#include "views/describe.hpp"

namespace timeline {
namespace words {
namespace {

std::string how_it_ended(const ProcessEnd& end)
{
    return end.killed ? "killed by " + end.signal
                      : "exited with status " + std::to_string(end.status);
}

} // namespace

bool interrupted(const std::string& error)
{
    return error == "EINTR" || error.starts_with("ERESTART");
}

std::string Describe::operator()(const step::Start& x) const
{
    return "starts: " + x.command;
}

std::string Describe::operator()(const step::Fork& x) const
{
    if (!x.spawns.empty())
        return "spawns " + x.spawns + " as child " + std::to_string(x.child);
    if (x.borrows)
        return "vfork(): child " + std::to_string(x.child) +
               " is born; this process waits until it execs or exits";
    return "fork(): child " + std::to_string(x.child) + " is born";
}

std::string Describe::operator()(const step::Born& x) const
{
    if (x.borrows)
        return "is born in the memory of " + std::to_string(x.parent) +
               ", which it borrows until it execs or exits";
    return x.parent ? "is born, a copy of " + std::to_string(x.parent) + " from its fork on"
                    : "is born";
}

std::string Describe::operator()(const step::NewThread& x) const
{
    return "starts thread " + std::to_string(x.number) + " (" + std::to_string(x.tid) + ")";
}

std::string Describe::operator()(const step::ThreadStart& x) const
{
    return "thread " + std::to_string(x.number) + " of " + std::to_string(x.leader) +
           " begins: the same memory and descriptors";
}

// "fd 3 (pipe A, read end)" for a descriptor given up
std::string Describe::dropped(const step::Dropped& d)
{
    std::string text = "fd " + std::to_string(d.fd);
    if (d.channel) {
        text += " (" + channel_name(*d.channel);
        if (d.end != End::unknown && has_ends(&*d.channel))
            text += end_words(held(d.end));
        text += ")";
    }
    return text;
}

std::string Describe::operator()(const step::Exec& x) const
{
    std::string text = "becomes " + std::string(base_name(x.path)) + ": execve " + x.path +
                       " replaces the program, same pid";
    for (size_t i = 0; i < x.closed.size(); ++i)
        text += (i == 0                     ? "; closes "
                 : i + 1 == x.closed.size() ? " and "
                                            : ", ") +
                dropped(x.closed[i]);
    if (!x.closed.empty())
        text += " (close-on-exec)";
    return text;
}

std::string Describe::operator()(const step::ExecFailed& x) const
{
    std::string name(base_name(x.path));
    if (x.found)
        return "looks for " + name + " along PATH: not in " +
               plural(x.tries, "{1} place", "{1} places") + " (last " + x.path + ")";
    if (x.tries > 1)
        return "execve " + name + " fails in " + std::to_string(x.tries) +
               " places along PATH (last " + x.path + "): " + error_text(s.error);
    return "execve " + x.path + " fails: " + error_text(s.error);
}

std::string Describe::operator()(const step::Appears& x) const
{
    return "appears: " + x.program + ", a child of " + std::to_string(x.parent) +
           " that the trace shows from its first use of the traced pipes";
}

std::string Describe::operator()(const step::Adopted& x) const
{
    std::string text = "its parent " + std::to_string(x.former) +
                       (x.zombie ? " ended without collecting it: " : " ended: ");
    return text + (x.by != 0 ? "adopted by " + std::to_string(x.by) + ", a subreaper"
                             : "adopted outside the trace (by pid 1, or a subreaper)");
}

std::string Describe::operator()(const step::CollectedOutside& /*unused*/) const
{
    const Process* p = run.process(s.pid);
    std::string by =
        p && p->adopter != 0 ? std::to_string(p->adopter) + ", its adopter," : "its adopter";
    return "collected by " + by + " outside the trace";
}

std::string Describe::operator()(const step::Superseded& x) const
{
    return "calls execve from a thread: the other threads end, and it goes on as " +
           std::to_string(x.leader) + ", under the process's pid";
}

std::string Describe::operator()(const step::ProcessGroup& x) const
{
    std::string group = std::to_string(x.group);
    if (x.session)
        return "setsid(): leads a new session and its process group " + group;
    if (x.pid != s.pid)
        return "puts " + std::to_string(x.pid) + " in process group " + group;
    return x.group == s.pid ? "leads a new process group, " + group
                            : "joins process group " + group;
}

std::string Describe::operator()(const step::Subreaper& /*unused*/) const
{
    return "becomes a subreaper: its descendants' orphans are adopted by it, not by pid 1";
}

std::string Describe::operator()(const step::HiddenCalls& x) const
{
    return x.program + " ran: " + plural(x.calls, "{1} system call", "{1} system calls") +
           " not shown";
}

std::string Describe::operator()(const step::Sleep& x) const
{
    return "sleeps " + seconds_text(x.seconds) + (x.finished ? "" : " (still asleep at the end)");
}

std::string Describe::operator()(const step::Alarm& x) const
{
    std::string replaced = x.left > 0 ? " (the alarm it replaces had " +
                                            plural(x.left, "{1} second", "{1} seconds") + " left)"
                                      : "";
    if (x.seconds == 0)
        return "cancels its alarm: no SIGALRM will come" + replaced;
    return "sets an alarm: the kernel sends it SIGALRM in " +
           plural(x.seconds, "{1} second", "{1} seconds") + replaced;
}

std::string Describe::operator()(const step::SleepGoesOn& x) const
{
    return "goes on sleeping after the signal: " + seconds_text(x.seconds);
}

std::string Describe::operator()(const step::AskParent& x) const
{
    std::string text = "getppid() = " + std::to_string(x.parent);
    if (x.before)
        return text + ": adopted, its parent was " + std::to_string(*x.before);
    if (x.former)
        return text + ": its adopter (its parent " + std::to_string(*x.former) + " ended)";
    return text + ": its parent";
}

std::string Describe::operator()(const step::AskPid& x) const
{
    return "getpid() = " + std::to_string(x.pid);
}

std::string Describe::operator()(const step::Collect& x) const
{
    return "wait() collects child " + std::to_string(x.child) +
           (x.how ? std::string(x.how->killed ? ", which was " : ", which ") + how_it_ended(*x.how)
                  : "") +
           "; it was a zombie for " + seconds_text(x.zombie_seconds) +
           (x.waited >= kWaitShown ? " (the parent waited " + seconds_text(x.waited) + ")" : "");
}

std::string Describe::operator()(const step::WaitWaiting& /*unused*/) const
{
    return "waits for a child to end (still waiting at the end)";
}

std::string Describe::operator()(const step::WaitPoll& x) const
{
    return x.asks == 1 ? "asks whether a child has ended: nothing to collect yet"
                       : "asks " + std::to_string(x.asks) + " times: nothing to collect yet";
}

std::string Describe::operator()(const step::ChildChanged& x) const
{
    if (x.ended)
        return "wait() reports child " + std::to_string(x.child) +
               (x.ended->killed ? ", which was " : ", which ") + how_it_ended(*x.ended) +
               ", and leaves it a zombie (WNOWAIT): it is collected later";
    return "wait() reports child " + std::to_string(x.child) +
           (x.stopped ? " stopped by " + x.signal : " continued");
}

std::string Describe::operator()(const step::Stopped& x) const
{
    return "stopped by " + x.signal + ": runs again at SIGCONT";
}

std::string Describe::operator()(const step::WaitNone& /*unused*/) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return "waits for a child";
    return "wait() finds no child: " + error_text(s.error);
}

std::string Describe::operator()(const step::Exit& x) const
{
    const Process* p = run.process(s.pid);
    if (p && p->thread_of != 0)
        return "exit(" + std::to_string(x.status) + "): the thread ends";
    // The kernel keeps the low 8 bits: exit(-1) ends with 255.
    return "exit(" + std::to_string(x.status) + "): ends with status " +
           std::to_string(x.status & 0xff);
}

std::string Describe::operator()(const step::Ended& x) const
{
    return "ends: " + how_it_ended(x.how);
}

std::string Describe::operator()(const step::Zombie& x) const
{
    return "zombie for " + seconds_text(x.seconds) + ", never collected";
}

std::string Describe::operator()(const step::StillRunning& /*unused*/) const
{
    return "still running when the trace ended";
}

std::string Describe::operator()(const step::AsWritten& x) const
{
    return x.text;
}

} // namespace words

std::string describe(const Run& run, size_t index)
{
    return describe(run, run.steps()[index]);
}

std::string describe(const Run& run, const Step& s)
{
    std::string text;
    describe_into(text, run, s);
    return text;
}

void describe_into(std::string& text, const Run& run, const Step& s)
{
    words::Describe words{run, s};
    // The steps a long trace has most of are appended in place.
    if (const auto* transfer = s.as<step::Transfer>()) {
        words.append(text, *transfer);
    } else if (const auto* close = s.as<step::Close>()) {
        text += "closes ";
        words.append_where(text, close->fd, close->end);
    } else if (const auto* pipe = s.as<step::Pipe>(); pipe && words.channel) {
        text += "creates ";
        append_channel_name(text, *words.channel);
        text += ": fd ";
        text += std::to_string(pipe->read_fd);
        text += " reads, fd ";
        text += std::to_string(pipe->write_fd);
        text += " writes";
        if (pipe->cloexec)
            text += ", both close-on-exec";
    } else {
        text += std::visit(words, s.what);
    }
    // Every failed call says so; the steps of a failure say it their way,
    // and a call restarted after a signal has not failed.
    bool interrupted = words::interrupted(s.error);
    bool told = s.is<step::ExecFailed>() || s.is<step::MakeFifo>() || s.is<step::AsWritten>() ||
                s.is<step::Pause>() ||
                ((s.is<step::WaitNone>() || s.is<step::OpenFailed>() || s.is<step::CallFailed>()) &&
                 !interrupted);
    if (!s.error.empty() && !told) {
        if (interrupted && s.took >= words::kWaitShown)
            text += ": interrupted by a signal after waiting " + seconds_text(s.took);
        else if (interrupted)
            text += ": interrupted by a signal";
        else
            text += ": fails, " + words::error_text(s.error);
        if (s.error == "EINTR")
            text += ", fails with EINTR";
    }
    if (!s.unwound && !s.source)
        text += " (strace could not tell its source line)";
    if (s.moved > 0) {
        text += " (told ";
        text += seconds_text(s.moved);
        text += s.moved_after_cause ? " later than strace stamped it: after what caused it)"
                                    : " later than strace stamped it: after the step before it)";
    }
}

const step::Transfer* printed(const Run& run, const Step& step)
{
    const auto* write = step.as<step::Transfer>();
    if (!write || write->is_read)
        return nullptr;
    // Only what reached a terminal or a file was printed: a write into a
    // pipe, even on fd 1, is a transfer.
    const Channel* channel = run.channel_of(step);
    if (channel)
        return channel->kind == Channel::Kind::terminal || channel->kind == Channel::Kind::file
                   ? write
                   : nullptr;
    return write->fd == 1 || write->fd == 2 ? write : nullptr;
}

} // namespace timeline
