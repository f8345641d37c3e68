// A process's life in words (born, exec'd, adopted, ended, collected),
// and the words every step ends with: why it failed, where it came from.
#include <string_view>
#include <vector>

#include "base/paths.hpp"
#include "views/describe.hpp"

namespace timeline {
namespace words {

bool interrupted(const std::string& error)
{
    return error == "EINTR" || error.starts_with("ERESTART");
}

std::string listed(const std::vector<std::string>& items)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? tr(" and ") : tr(", ")) + items[i];
    return text;
}

std::string Describe::operator()(const step::Start& x) const
{
    return fill(tr("starts: {1}"), {x.command});
}

std::string Describe::operator()(const step::Fork& x) const
{
    std::string child = std::to_string(x.child);
    if (!x.spawns.empty())
        return fill(tr("spawns {1} as child {2}"), {x.spawns, child});
    if (x.borrows)
        return fill(tr("vfork(): child {1} is born; this process waits until it execs or exits"),
                    {child});
    return fill(tr("fork(): child {1} is born"), {child});
}

std::string Describe::operator()(const step::Born& x) const
{
    std::string parent = std::to_string(x.parent);
    if (x.borrows)
        return fill(tr("is born in the memory of {1}, which it borrows until it execs or exits"),
                    {parent});
    return x.parent ? fill(tr("is born, a copy of {1} from its fork on"), {parent})
                    : std::string(tr("is born"));
}

std::string Describe::operator()(const step::NewThread& x) const
{
    return fill(tr("starts thread {1} ({2})"), {std::to_string(x.number), std::to_string(x.tid)});
}

std::string Describe::operator()(const step::ThreadStart& x) const
{
    return fill(tr("thread {1} of {2} begins: the same memory and descriptors"),
                {std::to_string(x.number), std::to_string(x.leader)});
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
    std::string name(base_name(x.path));
    if (x.closed.empty())
        return fill(tr("becomes {1}: execve {2} replaces the program, same pid"), {name, x.path});
    std::vector<std::string> closed;
    for (const auto& d : x.closed)
        closed.push_back(dropped(d));
    return fill(tr("becomes {1}: execve {2} replaces the program, same pid; closes {3} "
                   "(close-on-exec)"),
                {name, x.path, listed(closed)});
}

std::string Describe::operator()(const step::ExecFailed& x) const
{
    std::string name(base_name(x.path));
    std::string tries = std::to_string(x.tries);
    if (x.found)
        return fill(tr_n("looks for {2} along PATH: not in {1} place (last {3})",
                         "looks for {2} along PATH: not in {1} places (last {3})",
                         static_cast<unsigned long>(x.tries)),
                    {tries, name, x.path});
    if (x.tries > 1)
        return fill(tr("execve {1} fails in {2} places along PATH (last {3}): {4}"),
                    {name, tries, x.path, error_text(s.error)});
    return fill(tr("execve {1} fails: {2}"), {x.path, error_text(s.error)});
}

std::string Describe::operator()(const step::Appears& x) const
{
    return fill(tr("appears: {1}, a child of {2} that the trace shows from its first use of the "
                   "traced pipes"),
                {x.program, std::to_string(x.parent)});
}

std::string Describe::operator()(const step::Adopted& x) const
{
    std::string former = std::to_string(x.former);
    if (x.by != 0)
        return fill(x.zombie ? tr("its parent {1} ended without collecting it: adopted by {2}, a "
                                  "subreaper")
                             : tr("its parent {1} ended: adopted by {2}, a subreaper"),
                    {former, std::to_string(x.by)});
    return fill(x.zombie ? tr("its parent {1} ended without collecting it: adopted outside the "
                              "trace (by pid 1, or a subreaper)")
                         : tr("its parent {1} ended: adopted outside the trace (by pid 1, or a "
                              "subreaper)"),
                {former});
}

std::string Describe::operator()(const step::CollectedOutside& /*unused*/) const
{
    const Process* p = run.process(s.pid);
    if (p && p->adopter != 0)
        return fill(tr("collected by {1}, its adopter, outside the trace"),
                    {std::to_string(p->adopter)});
    return tr("collected by its adopter outside the trace");
}

std::string Describe::operator()(const step::Superseded& x) const
{
    return fill(tr("calls execve from a thread: the other threads end, and it goes on as {1}, "
                   "under the process's pid"),
                {std::to_string(x.leader)});
}

std::string Describe::operator()(const step::ProcessGroup& x) const
{
    std::string group = std::to_string(x.group);
    if (x.session)
        return fill(tr("setsid(): leads a new session and its process group {1}"), {group});
    if (x.pid != s.pid)
        return fill(tr("puts {1} in process group {2}"), {std::to_string(x.pid), group});
    return fill(x.group == s.pid ? tr("leads a new process group, {1}")
                                 : tr("joins process group {1}"),
                {group});
}

std::string Describe::operator()(const step::Subreaper& /*unused*/) const
{
    return tr("becomes a subreaper: its descendants' orphans are adopted by it, not by pid 1");
}

std::string Describe::operator()(const step::HiddenCalls& x) const
{
    return fill(tr_n("{2} ran: {1} system call not shown", "{2} ran: {1} system calls not shown",
                     static_cast<unsigned long>(x.calls)),
                {std::to_string(x.calls), x.program});
}

std::string Describe::operator()(const step::Sleep& x) const
{
    return fill(x.finished ? tr("sleeps {1}") : tr("sleeps {1} (still asleep at the end)"),
                {seconds_text(x.seconds)});
}

std::string Describe::operator()(const step::Alarm& x) const
{
    std::string replaced = x.left > 0
                               ? plural(x.left, " (the alarm it replaces had {1} second left)",
                                        " (the alarm it replaces had {1} seconds left)")
                               : "";
    if (x.seconds == 0)
        return tr("cancels its alarm: no SIGALRM will come") + replaced;
    return plural(x.seconds, "sets an alarm: the kernel sends it SIGALRM in {1} second",
                  "sets an alarm: the kernel sends it SIGALRM in {1} seconds") +
           replaced;
}

std::string Describe::operator()(const step::SleepGoesOn& x) const
{
    return fill(tr("goes on sleeping after the signal: {1}"), {seconds_text(x.seconds)});
}

std::string Describe::operator()(const step::AskParent& x) const
{
    std::string parent = std::to_string(x.parent);
    if (x.before)
        return fill(tr("getppid() = {1}: adopted, its parent was {2}"),
                    {parent, std::to_string(*x.before)});
    if (x.former)
        return fill(tr("getppid() = {1}: its adopter (its parent {2} ended)"),
                    {parent, std::to_string(*x.former)});
    return fill(tr("getppid() = {1}: its parent"), {parent});
}

std::string Describe::operator()(const step::AskPid& x) const
{
    return "getpid() = " + std::to_string(x.pid);
}

std::string Describe::operator()(const step::Collect& x) const
{
    std::string child = std::to_string(x.child), zombie = seconds_text(x.zombie_seconds);
    std::string text =
        !x.how ? fill(tr("wait() collects child {1}; it was a zombie for {2}"), {child, zombie})
        : x.how->killed
            ? fill(
                  tr("wait() collects child {1}, which was killed by {2}; it was a zombie for {3}"),
                  {child, x.how->signal, zombie})
            : fill(tr("wait() collects child {1}, which exited with status {2}; it was a zombie "
                      "for {3}"),
                   {child, std::to_string(x.how->status), zombie});
    if (x.waited >= kWaitShown)
        text += fill(tr(" (the parent waited {1})"), {seconds_text(x.waited)});
    return text;
}

std::string Describe::operator()(const step::WaitWaiting& /*unused*/) const
{
    return tr("waits for a child to end (still waiting at the end)");
}

std::string Describe::operator()(const step::WaitPoll& x) const
{
    return x.asks == 1
               ? std::string(tr("asks whether a child has ended: nothing to collect yet"))
               : fill(tr("asks {1} times: nothing to collect yet"), {std::to_string(x.asks)});
}

std::string Describe::operator()(const step::ChildChanged& x) const
{
    std::string child = std::to_string(x.child);
    if (x.ended && x.ended->killed)
        return fill(tr("wait() reports child {1}, which was killed by {2}, and leaves it a "
                       "zombie (WNOWAIT): it is collected later"),
                    {child, x.ended->signal});
    if (x.ended)
        return fill(tr("wait() reports child {1}, which exited with status {2}, and leaves it a "
                       "zombie (WNOWAIT): it is collected later"),
                    {child, std::to_string(x.ended->status)});
    if (x.stopped)
        return fill(tr("wait() reports child {1} stopped by {2}"), {child, x.signal});
    return fill(tr("wait() reports child {1} continued"), {child});
}

std::string Describe::operator()(const step::Stopped& x) const
{
    return fill(tr("stopped by {1}: runs again at SIGCONT"), {x.signal});
}

std::string Describe::operator()(const step::WaitNone& /*unused*/) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return tr("waits for a child");
    return fill(tr("wait() finds no child: {1}"), {error_text(s.error)});
}

std::string Describe::operator()(const step::Exit& x) const
{
    const Process* p = run.process(s.pid);
    std::string status = std::to_string(x.status);
    if (p && p->thread_of != 0)
        return fill(tr("exit({1}): the thread ends"), {status});
    // The kernel keeps the low 8 bits: exit(-1) ends with 255.
    return fill(tr("exit({1}): ends with status {2}"), {status, std::to_string(x.status & 0xff)});
}

std::string Describe::operator()(const step::Ended& x) const
{
    return x.how.killed ? fill(tr("ends: killed by {1}"), {x.how.signal})
                        : fill(tr("ends: exited with status {1}"), {std::to_string(x.how.status)});
}

std::string Describe::operator()(const step::Zombie& x) const
{
    return fill(tr("zombie for {1}, never collected"), {seconds_text(x.seconds)});
}

std::string Describe::operator()(const step::StillRunning& /*unused*/) const
{
    return tr("still running when the trace ended");
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
    if (const auto* transfer = s.as<step::Transfer>())
        words.append(text, *transfer);
    else if (const auto* close = s.as<step::Close>())
        words.append(text, *close);
    else if (const auto* pipe = s.as<step::Pipe>())
        words.append(text, *pipe);
    else
        text += std::visit(words, s.what);
    // Every failed call says so; the steps of a failure say it their way,
    // and a call restarted after a signal has not failed.
    bool interrupted = words::interrupted(s.error);
    bool told = s.is<step::ExecFailed>() || s.is<step::MakeFifo>() || s.is<step::AsWritten>() ||
                s.is<step::Pause>() ||
                ((s.is<step::WaitNone>() || s.is<step::OpenFailed>() || s.is<step::CallFailed>()) &&
                 !interrupted);
    if (!s.error.empty() && !told) {
        if (interrupted && s.took >= words::kWaitShown)
            text += fill(tr(": interrupted by a signal after waiting {1}"), {seconds_text(s.took)});
        else if (interrupted)
            text += tr(": interrupted by a signal");
        else
            text += fill(tr(": fails, {1}"), {words::error_text(s.error)});
        if (s.error == "EINTR")
            text += tr(", fails with EINTR");
    }
    if (!s.unwound && !s.source)
        text += tr(" (strace could not tell its source line)");
    if (s.moved > 0)
        text += fill(s.moved_after_cause
                         ? tr(" (told {1} later than strace stamped it: after what caused it)")
                         : tr(" (told {1} later than strace stamped it: after the step before it)"),
                     {seconds_text(s.moved)});
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
