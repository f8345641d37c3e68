// One step in words: an overload for each kind of step.
#include "base/paths.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

std::string how_it_ended(const ProcessEnd& end)
{
    return end.killed ? "killed by " + end.signal
                      : "exited with status " + std::to_string(end.status);
}

// A call that blocked at least this long says how long it waited.
constexpr double kWaitShown = 0.001;

const char* other_side(Access access)
{
    return access == Access::read ? "a writer" : "a reader";
}

// One step in words: an overload for each kind of step.
struct Describe {
    const Run& run;
    const Step& s;
    const Channel* channel = run.channel_of(s);
    std::string name() const { return channel ? channel_name(*channel) : std::string(); }

    // "fd 3 (pipe A)", "fd 1 (the terminal)", "fd 4 (pipe A, read end)"
    std::string where(int fd, End end = End::unknown) const
    {
        std::string text;
        append_where(text, fd, end);
        return text;
    }
    void append_where(std::string& text, int fd, End end = End::unknown) const
    {
        text += "fd ";
        text += std::to_string(fd);
        if (channel) {
            text += " (";
            append_channel_name(text, *channel);
            if (end != End::unknown)
                text += end == End::read ? ", read end" : ", write end";
            text += ")";
        }
    }

    std::string operator()(const step::Start& x) const { return "starts: " + x.command; }
    std::string operator()(const step::Fork& x) const
    {
        if (!x.spawns.empty())
            return "spawns " + x.spawns + " as child " + std::to_string(x.child);
        if (x.borrows)
            return "vfork(): child " + std::to_string(x.child) +
                   " is born; this process waits until it execs or exits";
        return "fork(): child " + std::to_string(x.child) + " is born";
    }
    std::string operator()(const step::Born& x) const
    {
        if (x.borrows)
            return "is born in the memory of " + std::to_string(x.parent) +
                   ", which it borrows until it execs or exits";
        return x.parent ? "is born, a copy of " + std::to_string(x.parent) + " from its fork on"
                        : "is born";
    }
    std::string operator()(const step::NewThread& x) const
    {
        return "starts thread " + std::to_string(x.number) + " (" + std::to_string(x.tid) + ")";
    }
    std::string operator()(const step::ThreadStart& x) const
    {
        return "thread " + std::to_string(x.number) + " of " + std::to_string(x.leader) +
               " begins: the same memory and descriptors";
    }
    std::string operator()(const step::Exec& x) const
    {
        return "becomes " + std::string(base_name(x.path)) + ": execve " + x.path +
               " replaces the program, same pid";
    }
    std::string operator()(const step::ExecFailed& x) const
    {
        if (x.tries > 1)
            return "execve " + std::string(base_name(x.path)) + " fails in " +
                   std::to_string(x.tries) + " places along PATH (last " + x.path + "): " + s.error;
        return "execve " + x.path + " fails: " + s.error;
    }
    std::string operator()(const step::HiddenCalls& x) const
    {
        return x.program + " ran: " + plural(x.calls, "system call", "system calls") + " not shown";
    }
    std::string operator()(const step::Pipe& x) const
    {
        return "creates " + name() + ": fd " + std::to_string(x.read_fd) + " reads, fd " +
               std::to_string(x.write_fd) + " writes";
    }
    std::string operator()(const step::SocketPair& x) const
    {
        return "creates " + name() + ": fds " + std::to_string(x.fd) + " and " +
               std::to_string(x.other_fd) + ", each end reads and writes";
    }
    std::string operator()(const step::MakeFifo& /*unused*/) const
    {
        return s.error == "EEXIST" ? "FIFO " + name() + " is there already: reused"
               : s.error.empty()   ? "creates the FIFO " + name()
                                   : "mkfifo " + name() + " fails: " + s.error;
    }
    std::string operator()(const step::Open& x) const
    {
        std::string mode = x.access == Access::read    ? "reading"
                           : x.access == Access::write ? "writing"
                                                       : "read/write";
        std::string text = "opens " + name() + " for " + mode + " as fd " + std::to_string(x.fd);
        if (channel && channel->kind == Channel::Kind::fifo)
            text +=
                x.waited >= 0.001
                    ? ", after waiting " + seconds_text(x.waited) + " for " + other_side(x.access)
                    : std::string(" (") + other_side(x.access) + " was there already)";
        return text;
    }
    std::string operator()(const step::OpenWaiting& x) const
    {
        return "waits in open of " + name() + " for " + other_side(x.access) +
               " (still waiting at the end)";
    }
    std::string operator()(const step::OpenFailed& x) const
    {
        return "open " + x.path + " fails: " + s.error;
    }
    std::string operator()(const step::Close& x) const { return "closes " + where(x.fd, x.end); }
    std::string operator()(const step::Dup& x) const
    {
        return "fd " + std::to_string(x.fd) + " now points where fd " + std::to_string(x.from) +
               " does" + (channel ? " (" + name() + ")" : "");
    }
    // "reads 1 byte, 11 times, from fd 4 (FIFOVEK): "que pasa21\n""
    std::string operator()(const step::NewFd& x) const
    {
        return "creates " + (name().empty() ? std::string("a descriptor") : name()) + " as fd " +
               std::to_string(x.fd);
    }
    std::string operator()(const step::Accept& x) const
    {
        return "accepts a connection on fd " + std::to_string(x.listening) + ": " + where(x.fd);
    }
    std::string operator()(const step::SocketAddress& x) const
    {
        using Verb = call::SocketAddress::Verb;
        if (x.verb == Verb::listen)
            return "listens on " + where(x.fd) + " for connections";
        std::string to = x.address.empty() ? "" : " to " + x.address;
        return (x.verb == Verb::bind ? "binds " : "connects ") + where(x.fd) + to;
    }
    std::string operator()(const step::Transfer& x) const
    {
        std::string text;
        append(text, x);
        return text;
    }
    // Appended in place: a long trace has a million of these.
    void append(std::string& text, const step::Transfer& x) const
    {
        text += x.is_read ? "reads " : "writes ";
        text += std::to_string(x.bytes);
        text += x.bytes == 1 ? " byte" : " bytes";
        if (x.count > 1) {
            text += ", ";
            text += std::to_string(x.count);
            text += " times,";
        }
        text += x.is_read ? " from " : " to ";
        append_where(text, x.fd);
        if (!x.data.empty()) {
            text += ": \"";
            size_t start = text.size();
            append_escaped_bytes(text, x.data, 40);
            bool cut = size_t(x.total) > x.data.size() || text.size() - start < x.data.size();
            text += cut ? "\"..." : "\"";
        }
        if (x.waited >= kWaitShown) {
            text += " (waited ";
            text += seconds_text(x.waited);
            text += ")";
        }
    }
    std::string operator()(const step::TransferWaiting& x) const
    {
        return std::string("waits in ") + (x.is_read ? "read" : "write") + " on " + where(x.fd) +
               " (still waiting at the end)";
    }
    std::string operator()(const step::EndOfData& x) const
    {
        bool fifo = channel && channel->kind == Channel::Kind::fifo;
        bool pipe = channel && channel->kind == Channel::Kind::pipe;
        return "read returned 0 on " + where(x.fd) +
               (fifo   ? ": no writer left, end of phrase"
                : pipe ? ": no writer left, end of data"
                       : ": end of input") +
               (x.count > 1 ? " (" + std::to_string(x.count) + " times)" : "");
    }
    std::string operator()(const step::UnreadWait& x) const
    {
        return "waits until " + name() + " has been read: asked " +
               plural(x.asks, "time", "times") + " how many bytes are unread (last answer " +
               std::to_string(x.last_answer) + "), paused " + seconds_text(x.paused);
    }
    std::string operator()(const step::Sleep& x) const
    {
        return "sleeps " + seconds_text(x.seconds) +
               (x.finished ? "" : " (still asleep at the end)");
    }
    std::string operator()(const step::SleepGoesOn& x) const
    {
        return "goes on sleeping after the signal: " + seconds_text(x.seconds);
    }
    std::string operator()(const step::AskParent& x) const
    {
        return "getppid() = " + std::to_string(x.parent) +
               (x.before ? ": adopted, its parent was " + std::to_string(*x.before)
                         : ": its parent");
    }
    std::string operator()(const step::AskPid& x) const
    {
        return "getpid() = " + std::to_string(x.pid);
    }
    std::string operator()(const step::Collect& x) const
    {
        return "wait() collects child " + std::to_string(x.child) +
               (x.how ? std::string(x.how->killed ? ", which was " : ", which ") +
                            how_it_ended(*x.how)
                      : "") +
               "; it was a zombie for " + seconds_text(x.zombie_seconds) +
               (x.waited >= kWaitShown ? " (the parent waited " + seconds_text(x.waited) + ")"
                                       : "");
    }
    std::string operator()(const step::WaitWaiting& /*unused*/) const
    {
        return "waits for a child to end (still waiting at the end)";
    }
    std::string operator()(const step::WaitPoll& x) const
    {
        return x.asks == 1 ? "asks whether a child has ended: nothing to collect yet"
                           : "asks " + std::to_string(x.asks) + " times: nothing to collect yet";
    }
    std::string operator()(const step::ChildChanged& x) const
    {
        return "wait() reports child " + std::to_string(x.child) +
               (x.stopped ? " stopped by " + x.signal : " continued");
    }
    std::string operator()(const step::Stopped& x) const
    {
        return "stopped by " + x.signal + ": runs again at SIGCONT";
    }
    std::string operator()(const step::WaitNone& /*unused*/) const
    {
        return "wait() finds no child: " + s.error;
    }
    std::string operator()(const step::Lock& x) const
    {
        if (x.release)
            return "unlocks " + where(x.fd);
        return "locks " + where(x.fd) + (x.exclusive ? " for itself alone" : ", shared") +
               (x.wait ? "" : ", without waiting") +
               ": no other process can take the lock until this one lets go or ends";
    }
    std::string operator()(const step::Kill& x) const
    {
        return "sends " + x.signal + " to pid " + std::to_string(x.target);
    }
    std::string operator()(const step::Exit& x) const
    {
        const Process* p = run.process(s.pid);
        if (p && p->thread_of != 0)
            return "exit(" + std::to_string(x.status) + "): the thread ends";
        // The kernel keeps the low 8 bits: exit(-1) ends with 255.
        return "exit(" + std::to_string(x.status) + "): ends with status " +
               std::to_string(x.status & 0xff);
    }
    std::string operator()(const step::Ended& x) const { return "ends: " + how_it_ended(x.how); }
    std::string operator()(const step::Signal& x) const
    {
        if (x.name == "SIGCHLD") {
            std::string what = x.code == "CLD_STOPPED"                            ? " stopped"
                               : x.code == "CLD_CONTINUED"                        ? " continued"
                               : x.code == "CLD_KILLED" || x.code == "CLD_DUMPED" ? " was killed"
                                                                                  : " ended";
            return "receives SIGCHLD: its child " + std::to_string(x.sender) + what;
        }
        if (x.resumes)
            return "receives SIGCONT" +
                   (x.sender ? " from pid " + std::to_string(x.sender) : std::string()) +
                   ": runs again";
        if (x.name == "SIGPIPE")
            return "receives SIGPIPE: it wrote where no reader is left";
        return "receives " + x.name + (x.sender ? " from pid " + std::to_string(x.sender) : "");
    }
    std::string operator()(const step::Zombie& x) const
    {
        return "zombie for " + seconds_text(x.seconds) + ", never collected";
    }
    std::string operator()(const step::StillRunning& /*unused*/) const
    {
        return "still running when the trace ended";
    }
    std::string operator()(const step::AsWritten& x) const { return x.text; }
};

} // namespace

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
    Describe words{run, s};
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
    } else {
        text += std::visit(words, s.what);
    }
    // Every failed call says so; the steps of a failure say it their way,
    // and a call restarted after a signal has not failed.
    bool told = s.is<step::ExecFailed>() || s.is<step::OpenFailed>() || s.is<step::WaitNone>() ||
                s.is<step::MakeFifo>() || s.is<step::AsWritten>();
    if (!s.error.empty() && !told && !s.error.starts_with("ERESTART"))
        text += ": fails, " + s.error;
}

const step::Transfer* printed(const Run& run, const Step& step)
{
    const auto* write = step.as<step::Transfer>();
    if (!write || write->is_read)
        return nullptr;
    const Channel* channel = run.channel_of(step);
    bool terminal = channel && channel->kind == Channel::Kind::terminal;
    return terminal || write->fd == 1 || write->fd == 2 ? write : nullptr;
}

} // namespace timeline
