// The model's reading of the table of calls: each call's handler, by the
// row the reader found it in, and the dispatch that runs it.
#include <algorithm>
#include <array>
#include <string_view>
#include <type_traits>

#include "model/calls/handlers.hpp"

namespace timeline::handlers {
namespace {

using Handler = void (*)(State&, Process&, const Call&, Step);

template <class Args>
constexpr const Args* args_of(void (*)(State&, Process&, const Call&, const Args&, Step))
{
    return nullptr;
}

// A handler of the call, or of its decoded arguments: the call goes to a
// typed handler when the reader decoded them, and is shown as written
// otherwise.
template <auto Typed> void with(State& m, Process& p, const Call& c, Step s)
{
    if constexpr (std::is_invocable_v<decltype(Typed), State&, Process&, const Call&, Step>) {
        Typed(m, p, c, std::move(s));
    } else {
        using Args = std::remove_cvref_t<decltype(*args_of(Typed))>;
        if (const auto* args = std::get_if<Args>(&c.args))
            Typed(m, p, c, *args, std::move(s));
        else
            as_written(m, p, c, std::move(s));
    }
}

enum class Shown {
    step, // a step of the lesson, unless a system program or a hidden file made it
    quiet, // never a step of its own
    always, // even in a system program after exec: exec itself
};

struct Row {
    Handler handler;
    Shown shown;
};

// In the table's order: the reader gives each call its row's number.
constexpr std::array kRows{
#define CALL(name, decoder, handler, family, shown) Row{&with<&family::handler>, Shown::shown},
#include "reader/calls.def"
#undef CALL
};

// Files that the loader, the locale and the time zone read.
constexpr std::array<std::string_view, 13> kHiddenPaths = {
    "/etc/ld.so",
    "/lib/",
    "/lib64/",
    "/usr/lib/",
    "/usr/lib64/",
    "/usr/share/zoneinfo",
    "/etc/localtime",
    "/usr/share/locale",
    "/etc/nsswitch.conf",
    "/etc/passwd",
    "/etc/group",
    "/proc/",
    "/sys/",
};

// A read or write of a system program on a pipe or FIFO made in this run,
// which joins it to another traced process (a shell's pipeline): shown,
// with its data arrow, where its other calls are only counted.
bool joins_traced_processes(const State& m, const Call& c)
{
    if (!std::holds_alternative<call::Transfer>(c.args) || !c.fd)
        return false;
    auto channel = m.channels.find(c.fd->target.name);
    return channel && m.channels[*channel].created_here && m.channels[*channel].carries_data();
}

// A system program's child runs its program, hidden as well, with a copy
// of its parent's descriptors. Its parent's wait is not followed, so it is
// never said to be a zombie.
void hidden_child(State& m, Process& p, int pid)
{
    int parent = p.pid;
    Process& child = m.process(pid); // may move `p`
    const Process& from = m.processes.known(parent);
    child.program = from.program;
    child.parent = parent;
    child.group = from.group;
    child.hidden = true;
    child.started = true;
    m.processes.inherit(child, m.processes.table_of(m.processes.known(parent)));
}

// A system program's process that the trace shows for the first time (a
// shell's command reading the traced program's pipe): where it comes from.
void appears(State& m, Process& p, double t)
{
    p.shown = true;
    if (p.born_step || p.parent == 0)
        return;
    p.born_step = m.steps.add(
        {.pid = p.pid, .time = t, .what = step::Appears{.parent = p.parent, .program = p.program}});
    p.programs.emplace_back(*p.born_step, p.program);
}

} // namespace

bool hidden_path(std::string_view path)
{
    return std::any_of(kHiddenPaths.begin(), kHiddenPaths.end(),
                       [&](std::string_view p) { return path.starts_with(p); });
}

void dispatch(State& m, Process& p, const Call& c, Step s)
{
    const Row* row = c.row >= 0 && size_t(c.row) < kRows.size() ? &kRows[size_t(c.row)] : nullptr;
    Shown shown = row ? row->shown : Shown::step;
    bool joins = p.hidden && joins_traced_processes(m, c);
    if (p.hidden && shown != Shown::always && !joins) {
        if (!std::holds_alternative<call::Exit>(c.args))
            ++p.hidden_calls;
        descriptors::track_quietly(m, p, c);
        if (std::holds_alternative<call::Spawn>(c.args) && c.value > 0)
            hidden_child(m, p, int(c.value));
        return;
    }
    if (joins && !p.shown)
        appears(m, p, s.time);
    if (shown == Shown::quiet) {
        row->handler(m, p, c, std::move(s));
        return;
    }
    if (c.fd && c.fd->target.kind == Target::Kind::path && hidden_path(c.fd->target.name))
        return;
    if (c.fd)
        s.channel = m.channels.of(c.fd->target);
    // What standard input, output and error were given, seen when used
    // (a system program's own may be anything).
    Process& table = m.processes.table_of(p);
    if (c.fd && s.channel && c.fd->number >= 0 && c.fd->number <= 2 && !p.hidden &&
        !table.fds.count(c.fd->number) && (table.std_closed & (1U << c.fd->number)) == 0) {
        table.inherited.emplace(c.fd->number, m.channels[*s.channel]);
        table.inherited_at.emplace(c.fd->number, *s.channel);
    }
    // A call that never returned did not end as its kind ends: it tells
    // no result. (A process's exit never returns by design; a spawn's
    // child is settled by the reader; an exec ends in its new program.)
    if (c.no_return && !c.corrects_start && !std::holds_alternative<call::Exit>(c.args) &&
        !std::holds_alternative<call::Spawn>(c.args) &&
        !std::holds_alternative<call::Exec>(c.args)) {
        s.what = step::NeverReturned{.call = c.name, .fd = c.fd ? c.fd->number : -1};
        m.steps.add(std::move(s));
        return;
    }
    (row ? row->handler : as_written)(m, p, c, std::move(s));
}

// A call the table knows that failed is said in words, as every failed
// call is; one it does not know, as strace wrote it.
void as_written(State& m, Process& /*unused*/, const Call& c, Step s)
{
    const auto* unknown = std::get_if<call::Unknown>(&c.args);
    if (c.row >= 0 && c.finished && !c.error.empty()) {
        s.what = step::CallFailed{c.name};
        m.steps.add(std::move(s));
        return;
    }
    s.channel.reset();
    s.what = step::AsWritten{unknown ? unknown->text : c.name + "(...)"};
    m.steps.add(std::move(s));
}

// Every handler takes the step it may add by value; this one adds none.
void housekeeping::ignore(State& /*unused*/, Process& /*unused*/, const Call& /*unused*/,
                          Step /*unused*/) // NOLINT(performance-unnecessary-value-param)
{
}

} // namespace timeline::handlers
