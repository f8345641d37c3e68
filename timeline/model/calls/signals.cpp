// Signals: one sent (to a process, to a process group, to every process),
// whose arrival draws an arrow from it; what a process does when a signal
// comes (the default, ignore it, a handler of its own) and which signals
// it blocks; a wait for a signal.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "model/calls/handlers.hpp"

namespace timeline::handlers::signals {
namespace {

// A signal's number from its name as strace writes it in a set ("CHLD",
// "RTMIN", "RT_1", or a number); 0 when not known.
int signal_number(std::string_view name)
{
    constexpr int kRealTime = 32; // the kernel's first real-time signal, strace's RTMIN
    constexpr int kLast = 64;
    if (name.starts_with("SIG"))
        name.remove_prefix(3);
    if (name == "RTMIN")
        return kRealTime;
    if (name == "RTMAX")
        return kLast;
    std::string text(name.starts_with("RT_") ? name.substr(3) : name);
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        int n = std::atoi(text.c_str());
        n += name.starts_with("RT_") ? kRealTime : 0;
        return n >= 1 && n <= kLast ? n : 0;
    }
    for (int n = 1; n < kRealTime; ++n)
        if (const char* abbrev = sigabbrev_np(n); abbrev && name == abbrev)
            return n;
    return 0;
}

// A set of signals as strace writes it: "[INT TERM]", "~[KILL STOP]".
std::optional<std::uint64_t> signal_set(std::string_view text)
{
    bool complement = text.starts_with("~");
    if (complement)
        text.remove_prefix(1);
    if (!text.starts_with("[") || !text.ends_with("]"))
        return std::nullopt;
    text = text.substr(1, text.size() - 2);
    std::uint64_t bits = 0;
    while (!text.empty()) {
        size_t end = std::min(text.find(' '), text.size());
        if (int n = signal_number(text.substr(0, end)); n > 0)
            bits |= std::uint64_t{1} << (n - 1);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return complement ? ~bits : bits;
}

// What the kernel does with a new mask: SIGKILL and SIGSTOP are never
// blocked.
void keep_mask(Process& p, const call::SignalMask& a)
{
    using How = call::SignalMask::How;
    if (auto before = signal_set(a.before))
        p.blocked = *before;
    auto change = signal_set(a.signals);
    if (a.how == How::asks || !change)
        return;
    p.blocked = a.how == How::block     ? p.blocked | *change
                : a.how == How::unblock ? p.blocked & ~*change
                                        : *change;
    p.blocked &= ~((std::uint64_t{1} << (SIGKILL - 1)) | (std::uint64_t{1} << (SIGSTOP - 1)));
}

} // namespace

void kill(State& m, Process& p, const Call& c, const call::Kill& a, Step s)
{
    s.what = step::Kill{a.target, a.signal};
    size_t at = m.steps.add(std::move(s));
    if (!c.error.empty())
        return;
    // Its arrival draws an arrow, or each member's does.
    Flows::Target to = a.target > 0     ? Flows::Target{.pid = a.target}
                       : a.target == 0  ? Flows::Target{.by_group = true, .group = p.group}
                       : a.target == -1 ? Flows::Target{.everyone = true}
                                        : Flows::Target{.by_group = true, .group = -a.target};
    m.flows.sent(at, p.pid, to, a.signal);
}

// Only a change is a step: posix_spawn's child sets the default for every
// signal that already had it.
void disposition(State& m, Process& caller, const Call& /*unused*/, const call::SignalAction& a,
                 Step s)
{
    Process& p = m.processes.table_of(caller); // a process's threads share them
    using D = call::SignalAction::Disposition;
    // SIGRTMIN and SIGRT_1 are the C library's own (a thread's
    // cancellation, set*id across threads), never a program's.
    if (a.disposition == D::asks || a.signal == "SIGRTMIN" || a.signal == "SIGRT_1")
        return;
    auto known = p.dispositions.find(a.signal);
    D before = known == p.dispositions.end() ? D::restore_default : known->second;
    if (before == a.disposition)
        return;
    if (a.disposition == D::restore_default)
        p.dispositions.erase(a.signal);
    else
        p.dispositions[a.signal] = a.disposition;
    s.what = step::Disposition{.signal = a.signal, .what = a.disposition};
    m.steps.add(std::move(s));
}

// The C library's own: every signal blocked ("~[]", which no program's
// sigfillset gives: it leaves out the library's own signals), and the
// mask set again after that.
void mask(State& m, Process& p, const Call& /*unused*/, const call::SignalMask& a, Step s)
{
    using How = call::SignalMask::How;
    keep_mask(p, a);
    bool everything = a.before.starts_with("~[KILL STOP]") || a.before == "~[]";
    if (a.how == How::asks) {
        p.all_blocked = everything;
        return;
    }
    if (a.signals == "~[]") {
        p.all_blocked = true;
        return;
    }
    bool restores = a.how == How::set && (p.all_blocked || everything);
    p.all_blocked = false;
    if (restores)
        return;
    s.what = step::Mask{.how = a.how, .signals = a.signals};
    m.steps.add(std::move(s));
}

// pause, sigsuspend: they end when a signal comes, as a wait does.
void pause(State& m, Process& /*unused*/, const Call& c, Step s)
{
    s.what = step::Pause{
        .suspend = c.name == "rt_sigsuspend", .waited = c.duration, .finished = c.finished};
    m.steps.add(std::move(s));
}

} // namespace timeline::handlers::signals
