// Signals in words (sent, caught, ignored, blocked, waited for), and why
// a call failed.
#include <string>
#include <string_view>
#include <vector>

#include "views/describe.hpp"

namespace timeline::words {
namespace {

// A set of signals as strace writes it ("[CHLD INT]", "~[]", "~[CHLD]"):
// the signals it names, and whether it is every signal but those.
struct SignalSet {
    bool all_but = false;
    std::vector<std::string> names; // "SIGCHLD"
};

SignalSet parse_signal_set(std::string_view set)
{
    SignalSet parsed{.all_but = set.starts_with("~")};
    if (parsed.all_but)
        set.remove_prefix(1);
    if (set.size() >= 2 && set.front() == '[' && set.back() == ']')
        set = set.substr(1, set.size() - 2);
    while (!set.empty()) {
        size_t blank = set.find(' ');
        std::string_view name = set.substr(0, blank);
        // RTMIN and RT_1 are the C library's own: sigfillset leaves them out.
        if (!name.empty() && name != "RTMIN" && name != "RT_1") {
            std::string full = name.starts_with("SIG") || name.starts_with("RT") ? "" : "SIG";
            parsed.names.push_back(full.append(name));
        }
        set = blank == std::string_view::npos ? std::string_view() : set.substr(blank + 1);
    }
    return parsed;
}

// "SIGCHLD and SIGINT", "every signal", "every signal but SIGCHLD".
std::string signal_set(const SignalSet& set)
{
    std::string text = listed(set.names);
    if (set.all_but)
        return set.names.empty() ? std::string(tr("every signal"))
                                 : fill(tr("every signal but {1}"), {text});
    return set.names.empty() ? std::string(tr("no signal")) : text;
}

// Why a call failed, in words, after the kernel's name for it.
const char* error_meaning(std::string_view error)
{
    if (error == "EPIPE")
        return tr("no reader is left");
    if (error == "ENOENT")
        return tr("no such file or folder");
    if (error == "EACCES")
        return tr("permission denied");
    if (error == "EPERM")
        return tr("not permitted");
    if (error == "EBADF")
        return tr("no such descriptor");
    if (error == "ECHILD")
        return tr("no child to wait for");
    if (error == "ESRCH")
        return tr("no such process");
    if (error == "EEXIST")
        return tr("it exists already");
    if (error == "EAGAIN")
        return tr("nothing ready, and it does not wait");
    if (error == "ENXIO")
        return tr("no reader is there, and it does not wait");
    if (error == "EINVAL")
        return tr("an argument the kernel refuses");
    if (error == "EMFILE")
        return tr("too many open descriptors");
    if (error == "ENOSPC")
        return tr("no space left");
    if (error == "ENOTDIR")
        return tr("a part of the path is no folder");
    if (error == "EISDIR")
        return tr("it is a folder");
    if (error == "ENOEXEC")
        return tr("not a program the kernel can run");
    if (error == "ENOTTY")
        return tr("not a terminal");
    if (error == "ECONNREFUSED")
        return tr("nobody listens there");
    if (error == "ECONNRESET")
        return tr("the other side closed the connection");
    if (error == "EADDRINUSE")
        return tr("the address is in use");
    if (error == "ENOSYS")
        return tr("the kernel has no such call");
    if (error == "EFAULT")
        return tr("a bad address");
    return "";
}

} // namespace

std::string error_text(const std::string& error)
{
    std::string_view meaning = error_meaning(error);
    if (meaning.empty())
        return error;
    std::string text = error;
    return text.append(" (").append(meaning).append(")");
}

std::string Describe::operator()(const step::Kill& x) const
{
    if (x.target > 0)
        return fill(tr("sends {1} to pid {2}"), {x.signal, std::to_string(x.target)});
    if (x.target == 0)
        return fill(tr("sends {1} to its own process group"), {x.signal});
    if (x.target == -1)
        return fill(tr("sends {1} to every process it may signal"), {x.signal});
    return fill(tr("sends {1} to process group {2}"), {x.signal, std::to_string(-x.target)});
}

std::string Describe::operator()(const step::Disposition& x) const
{
    using D = call::SignalAction::Disposition;
    if (x.what == D::ignore) {
        if (x.signal == "SIGPIPE")
            return tr("ignores SIGPIPE: a write with no reader left fails with EPIPE instead");
        if (x.signal == "SIGCHLD")
            return tr("ignores SIGCHLD: its children are collected as they end, never zombies");
        return fill(tr("ignores {1}"), {x.signal});
    }
    if (x.what == D::handler)
        return fill(tr("catches {1} with a handler of its own"), {x.signal});
    return fill(tr("restores the default for {1}"), {x.signal});
}

std::string Describe::operator()(const step::Mask& x) const
{
    using How = call::SignalMask::How;
    SignalSet parsed = parse_signal_set(x.signals);
    std::string set = signal_set(parsed);
    bool none = !parsed.all_but && parsed.names.empty();
    bool every = parsed.all_but && parsed.names.empty();
    // "no signal" makes a sentence of its own in some languages ("no
    // bloquea ninguna señal").
    if (none && (x.how == How::block || x.how == How::unblock))
        return x.how == How::block ? tr("blocks no signal: held until it unblocks them")
                                   : tr("unblocks no signal");
    return x.how == How::block     ? fill(tr("blocks {1}: held until it unblocks them"), {set})
           : x.how == How::unblock ? fill(tr("unblocks {1}"), {set})
           : none                  ? std::string(tr("blocks no signal any more"))
           : every                 ? std::string(tr("blocks every signal"))
                                   : fill(tr("blocks only {1}"), {set});
}

std::string Describe::operator()(const step::Pause& x) const
{
    bool timed = x.finished && x.waited >= kWaitShown;
    const char* waits =
        x.suspend
            ? (timed ? tr("waits {1} for a signal in sigsuspend, with a mask of its own")
                     : tr("waits for a signal in sigsuspend, with a mask of its own"))
            : (timed ? tr("waits {1} for a signal in pause") : tr("waits for a signal in pause"));
    std::string text = fill(waits, {timed ? seconds_text(x.waited) : std::string()});
    return x.finished ? text : text + tr(" (still waiting at the end)");
}

std::string Describe::operator()(const step::CallFailed& x) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return fill(tr("calls {1}"), {x.call});
    return fill(tr("{1} fails: {2}"), {x.call, error_text(s.error)});
}

std::string Describe::operator()(const step::NeverReturned& x) const
{
    std::string text =
        x.fd >= 0 ? fill(tr("was in {1} on {2} when it ended: the call never returned"),
                         {x.call, where(x.fd)})
                  : fill(tr("was in {1} when it ended: the call never returned"), {x.call});
    if (s.ended - s.began >= kWaitShown)
        text += fill(tr(" (it had waited {1})"), {seconds_text(s.ended - s.began)});
    return text;
}

std::string Describe::operator()(const step::Signal& x) const
{
    using D = call::SignalAction::Disposition;
    std::string text = received(x);
    if (x.handled == D::ignore)
        return text + (x.name == "SIGPIPE" ? tr("; it ignores it: its write fails with EPIPE")
                                           : tr("; it ignores it"));
    if (x.handled == D::handler)
        return text + tr("; its handler runs");
    // SIGCHLD's default is to do nothing: a parent that neither waits nor
    // catches it leaves its child a zombie.
    const Process* child =
        x.name == "SIGCHLD" && x.code == "CLD_EXITED" ? run.process(x.sender) : nullptr;
    if (child && child->parent == s.pid && !child->collected)
        return text + fill(tr("; by default that changes nothing: {1} stays a zombie until its "
                              "parent waits"),
                           {std::to_string(x.sender)});
    return text;
}

std::string Describe::received(const step::Signal& x)
{
    std::string sender = std::to_string(x.sender);
    if (x.name == "SIGCHLD") {
        const char* what = x.code == "CLD_STOPPED" ? tr("receives SIGCHLD: its child {1} stopped")
                           : x.code == "CLD_CONTINUED"
                               ? tr("receives SIGCHLD: its child {1} continued")
                           : x.code == "CLD_KILLED" || x.code == "CLD_DUMPED"
                               ? tr("receives SIGCHLD: its child {1} was killed")
                               : tr("receives SIGCHLD: its child {1} ended");
        return fill(what, {sender});
    }
    if (x.resumes)
        return x.sender ? fill(tr("receives SIGCONT from pid {1}: runs again"), {sender})
                        : std::string(tr("receives SIGCONT: runs again"));
    if (x.name == "SIGPIPE")
        return tr("receives SIGPIPE: it wrote where no reader is left");
    return x.sender ? fill(tr("receives {1} from pid {2}"), {x.name, sender})
                    : fill(tr("receives {1}"), {x.name});
}

} // namespace timeline::words
