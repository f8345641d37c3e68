// Signals in words (sent, caught, ignored, blocked, waited for), and why
// a call failed.
#include <string>
#include <string_view>
#include <utility>
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
    std::string text;
    for (size_t i = 0; i < set.names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == set.names.size() ? " and " : ", ") + set.names[i];
    if (set.all_but)
        return set.names.empty() ? "every signal" : "every signal but " + text;
    return set.names.empty() ? "no signal" : text;
}

// Why a call failed, in words, after the kernel's name for it.
std::string_view error_meaning(std::string_view error)
{
    static constexpr std::pair<std::string_view, std::string_view> kMeanings[] = {
        {"EPIPE", "no reader is left"},
        {"ENOENT", "no such file or folder"},
        {"EACCES", "permission denied"},
        {"EPERM", "not permitted"},
        {"EBADF", "no such descriptor"},
        {"ECHILD", "no child to wait for"},
        {"ESRCH", "no such process"},
        {"EEXIST", "it exists already"},
        {"EAGAIN", "nothing ready, and it does not wait"},
        {"ENXIO", "no reader is there, and it does not wait"},
        {"EINVAL", "an argument the kernel refuses"},
        {"EMFILE", "too many open descriptors"},
        {"ENOSPC", "no space left"},
        {"ENOTDIR", "a part of the path is no folder"},
        {"EISDIR", "it is a folder"},
        {"ENOEXEC", "not a program the kernel can run"},
        {"ENOTTY", "not a terminal"},
        {"ECONNREFUSED", "nobody listens there"},
        {"ECONNRESET", "the other side closed the connection"},
        {"EADDRINUSE", "the address is in use"},
        {"ENOSYS", "the kernel has no such call"},
        {"EFAULT", "a bad address"},
    };
    for (const auto& [name, meaning] : kMeanings)
        if (name == error)
            return meaning;
    return {};
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
    std::string to = x.target > 0     ? "pid " + std::to_string(x.target)
                     : x.target == 0  ? std::string("its own process group")
                     : x.target == -1 ? std::string("every process it may signal")
                                      : "process group " + std::to_string(-x.target);
    return "sends " + x.signal + " to " + to;
}

std::string Describe::operator()(const step::Disposition& x) const
{
    using D = call::SignalAction::Disposition;
    if (x.what == D::ignore) {
        if (x.signal == "SIGPIPE")
            return "ignores SIGPIPE: a write with no reader left fails with EPIPE instead";
        if (x.signal == "SIGCHLD")
            return "ignores SIGCHLD: its children are collected as they end, never zombies";
        return "ignores " + x.signal;
    }
    if (x.what == D::handler)
        return "catches " + x.signal + " with a handler of its own";
    return "restores the default for " + x.signal;
}

std::string Describe::operator()(const step::Mask& x) const
{
    using How = call::SignalMask::How;
    SignalSet parsed = parse_signal_set(x.signals);
    std::string set = signal_set(parsed);
    bool none = !parsed.all_but && parsed.names.empty();
    bool every = parsed.all_but && parsed.names.empty();
    return x.how == How::block     ? "blocks " + set + ": held until it unblocks them"
           : x.how == How::unblock ? "unblocks " + set
           : none                  ? std::string("blocks no signal any more")
           : every                 ? std::string("blocks every signal")
                                   : "blocks only " + set;
}

std::string Describe::operator()(const step::Pause& x) const
{
    std::string text = "waits";
    if (x.finished && x.waited >= kWaitShown)
        text.append(" ").append(seconds_text(x.waited));
    text += x.suspend ? " for a signal in sigsuspend, with a mask of its own"
                      : " for a signal in pause";
    return text + (x.finished ? "" : " (still waiting at the end)");
}

std::string Describe::operator()(const step::CallFailed& x) const
{
    if (interrupted(s.error)) // then told as every interrupted call is
        return "calls " + x.call;
    return x.call + " fails: " + error_text(s.error);
}

std::string Describe::operator()(const step::NeverReturned& x) const
{
    std::string text = "was in " + x.call;
    if (x.fd >= 0)
        text += " on " + where(x.fd);
    text += " when it ended: the call never returned";
    if (s.ended - s.began >= kWaitShown)
        text += " (it had waited " + seconds_text(s.ended - s.began) + ")";
    return text;
}

std::string Describe::operator()(const step::Signal& x) const
{
    using D = call::SignalAction::Disposition;
    std::string text = received(x);
    if (x.handled == D::ignore)
        return text + (x.name == "SIGPIPE" ? "; it ignores it: its write fails with EPIPE"
                                           : "; it ignores it");
    if (x.handled == D::handler)
        return text + "; its handler runs";
    // SIGCHLD's default is to do nothing: a parent that neither waits nor
    // catches it leaves its child a zombie.
    const Process* child =
        x.name == "SIGCHLD" && x.code == "CLD_EXITED" ? run.process(x.sender) : nullptr;
    if (child && child->parent == s.pid && !child->collected)
        return text + "; by default that changes nothing: " + std::to_string(x.sender) +
               " stays a zombie until its parent waits";
    return text;
}

std::string Describe::received(const step::Signal& x)
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

} // namespace timeline::words
