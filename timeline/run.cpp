// The model's core: processes, channels, steps and the bytes in flight.
// What each system call does to it is in calls_*.cpp.
#include "run.hpp"

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

#include "calls.hpp"

namespace timeline {
namespace {

// All terminals are one channel, found by this name.
const std::string& terminal_key()
{
    static const std::string key = "terminal";
    return key;
}

// "socket:[4471]" as -y names a socket; "UNIX-STREAM:[4471->4472]",
// "TCP:[127.0.0.1:80->127.0.0.1:5000]" as -yy does.
bool is_socket(std::string_view name)
{
    if (name.substr(0, 7) == "socket:")
        return true;
    size_t colon = name.find(":[");
    return colon != std::string_view::npos && colon > 0 &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") == colon;
}

// How -yy names a socket, without the path it is bound to:
// "UNIX-STREAM:[4471,"server.sock"]" is "UNIX-STREAM:[4471]". A connected
// socket's two ends are one channel: "UNIX-STREAM:[4472->4471]" and
// "UNIX-STREAM:[4471->4472]" are both "UNIX-STREAM:[4471<->4472]", whose
// ends were "UNIX-STREAM:[4471]" and "UNIX-STREAM:[4472]" before.
struct SocketName {
    std::string key;
    std::string local; // a connected socket's ends
    std::string peer;
};

SocketName socket_name(const std::string& name)
{
    size_t open = name.find(":[");
    if (open == std::string::npos || name.back() != ']')
        return {name, "", ""};
    size_t end = name.find(",\"", open);
    if (end == std::string::npos)
        end = name.size() - 1;
    std::string proto = name.substr(0, open + 2);
    std::string inside = name.substr(open + 2, end - open - 2);
    size_t arrow = inside.find("->");
    if (arrow == std::string::npos)
        return {proto + inside + "]", "", ""};
    std::string a = inside.substr(0, arrow);
    std::string b = inside.substr(arrow + 2);
    SocketName n{"", proto + a + "]", proto + b + "]"};
    if (b < a)
        std::swap(a, b);
    n.key = proto + a + "<->" + b + "]";
    return n;
}

bool is_terminal(const std::string& path)
{
    return path.rfind("/dev/pts/", 0) == 0 || path.rfind("/dev/tty", 0) == 0 ||
           path == "/dev/console";
}

long long saturating_add(long long a, long long b)
{
    return b > 0 && a > LLONG_MAX - b ? LLONG_MAX : a + b;
}

// Joins `next` into `last` when it is the same call again.
bool fold_into(Step& last, const Step& next)
{
    if (last.channel != next.channel || last.error != next.error)
        return false;
    if (auto* a = last.as<step::Transfer>()) {
        const auto* b = next.as<step::Transfer>();
        if (!b || a->is_read != b->is_read || a->fd != b->fd || a->bytes != b->bytes)
            return false;
        ++a->count;
        a->total = saturating_add(a->total, b->total);
        a->waited += b->waited;
        if (a->data.size() < kDataKept)
            a->data += b->data.substr(0, kDataKept - a->data.size());
        return true;
    }
    if (auto* a = last.as<step::EndOfData>()) {
        const auto* b = next.as<step::EndOfData>();
        if (!b || a->fd != b->fd)
            return false;
        ++a->count;
        return true;
    }
    return false;
}

// The kinds of step that a later call folds into.
bool can_grow(const Step& s)
{
    return s.is<step::Transfer>() || s.is<step::EndOfData>() || s.is<step::ExecFailed>() ||
           s.is<step::WaitPoll>() || s.is<step::UnreadWait>();
}

// How many steps may wait for a later call to fold into them before the
// oldest is handed over as it is: a process that stays silent while others
// make thousands of steps must not hold them all in memory.
constexpr size_t kLiveSteps = 4096;

} // namespace

std::string base_name(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

Run::Run(std::function<bool(const std::string&)> is_fifo, size_t keep, StepSink sink)
    : is_fifo_(std::move(is_fifo)), keep_(keep), sink_(std::move(sink))
{
}

Step* Run::live(size_t index)
{
    return index >= first_live_ && index - first_live_ < live_.size() ? &live_[index - first_live_]
                                                                      : nullptr;
}

void Run::unpin(size_t index)
{
    auto it = std::find(pinned_.begin(), pinned_.end(), index);
    if (it != pinned_.end())
        pinned_.erase(it);
}

void Run::add_arrow(Arrow arrow)
{
    if (arrow.from < keep_ && arrow.to < keep_)
        arrows_.push_back(arrow);
}

void Run::retire(bool all)
{
    while (!live_.empty()) {
        Step& s = live_.front();
        Process& p = known(s.pid);
        bool grows = p.fold == first_live_ && can_grow(s);
        bool pinned =
            grows || std::find(pinned_.begin(), pinned_.end(), first_live_) != pinned_.end();
        if (pinned && !all && live_.size() <= kLiveSteps)
            return;
        if (p.fold == first_live_)
            p.fold.reset();
        unpin(first_live_);
        if (sink_)
            sink_(*this, first_live_, s);
        if (first_live_ < keep_)
            kept_.push_back(std::move(s));
        live_.pop_front();
        ++first_live_;
    }
    recycle_channels();
}

// A pipe closed everywhere, all of whose steps have been told and none
// kept, is forgotten, and its place serves the next channel: a trace that
// makes a million pipes needs no more memory than one that makes ten.
void Run::recycle_channels()
{
    size_t kept = std::max(keep_, kStepsHeld);
    while (!closed_.empty()) {
        size_t c = closed_.front();
        const Channel& channel = channels_[c];
        bool named = channel.first_step != SIZE_MAX;
        if (named && channel.first_step < kept) {
            closed_.pop_front(); // a kept step names it: it stays
            continue;
        }
        if (named && channel.last_step >= first_live_)
            return; // still to be told
        closed_.pop_front();
        unread_.erase(c);
        last_arrow_.erase(c);
        free_channels_.push_back(c);
    }
}

const Process* Run::process(int pid) const
{
    auto index = index_of(pid);
    return index ? &processes_[*index] : nullptr;
}

const Channel* Run::channel_of(const Step& step) const
{
    return step.channel ? &channels_[*step.channel] : nullptr;
}

std::optional<size_t> Run::index_of(int pid) const
{
    if (last_pid_ == pid)
        return last_index_;
    auto it = process_index_.find(pid);
    if (it == process_index_.end())
        return std::nullopt;
    last_pid_ = pid;
    last_index_ = it->second;
    return it->second;
}

Process& Run::process_for(int pid)
{
    if (auto index = index_of(pid))
        return processes_[*index];
    process_index_[pid] = processes_.size();
    Process& p = processes_.emplace_back();
    p.pid = pid;
    p.program = "pid " + std::to_string(pid);
    p.run = runs_;
    return p;
}

Process& Run::files_of(Process& p)
{
    auto it = process_index_.find(p.thread_of);
    return p.thread_of == 0 || it == process_index_.end() ? p : processes_[it->second];
}

void Run::hold(Process& p, int fd, std::optional<size_t> channel, End end)
{
    Process& table = files_of(p);
    release(table, fd);
    table.fds[fd] = {channel, end};
    if (channel)
        ++channels_[*channel].holders;
}

void Run::release(Process& p, int fd)
{
    Process& table = files_of(p);
    auto it = table.fds.find(fd);
    if (it == table.fds.end())
        return;
    if (auto c = it->second.channel; c && --channels_[*c].holders == 0 &&
                                     channels_[*c].kind == Channel::Kind::pipe &&
                                     !channels_[*c].target.empty()) {
        auto named = channel_by_target_.find(channels_[*c].target);
        if (named != channel_by_target_.end() && named->second == *c) {
            channel_by_target_.erase(named);
            closed_.push_back(*c);
        }
    }
    table.fds.erase(it);
}

void Run::note_plumbing(PlumbingChange change, size_t step, int pid)
{
    constexpr size_t kMoments = 64; // a lesson has a handful
    if (step >= keep_ || keep_ == 0 || moments_.size() >= kMoments)
        return;
    PlumbingMoment moment{.change = change, .step = step, .pid = pid};
    for (const Process& p : processes_) {
        bool zombie = p.ended && p.child && !p.collected;
        if (p.thread_of != 0 || p.collected || (p.ended && !zombie))
            continue;
        ProcessTable table{.pid = p.pid, .program = p.program, .zombie = zombie};
        if (zombie) { // its descriptors closed as it ended
            moment.processes.push_back(std::move(table));
            continue;
        }
        for (int fd = 0; fd < 3; ++fd)
            if (!p.fds.count(fd))
                table.fds.push_back({.fd = fd});
        for (const auto& [fd, held] : p.fds) {
            TableEntry entry{.fd = fd, .end = held.end};
            if (held.channel) {
                entry.what = channels_[*held.channel].name;
                entry.carries_data = channels_[*held.channel].carries_data();
            }
            table.fds.push_back(std::move(entry));
        }
        std::sort(table.fds.begin(), table.fds.end(),
                  [](const TableEntry& a, const TableEntry& b) { return a.fd < b.fd; });
        moment.processes.push_back(std::move(table));
    }
    // A run of changes of one kind is one moment, drawn as it ended.
    if (!moments_.empty() && moments_.back().change == change) {
        moment.count = moments_.back().count + 1;
        moments_.back() = std::move(moment);
    } else {
        moments_.push_back(std::move(moment));
    }
}

void Run::name_inherited()
{
    // A process's own use, its ancestors', then its descendants': they all
    // hold what it was given, unless they replaced it (then it is in their
    // table, not among what they inherited).
    auto named = [this](int pid, int fd) -> std::string {
        const Process* p = process(pid);
        for (size_t up = 0; p && up <= processes_.size(); ++up) { // a trace may loop
            if (auto seen = p->inherited.find(fd); seen != p->inherited.end())
                return seen->second;
            p = p->parent != 0 ? process(p->parent) : nullptr;
        }
        std::vector<int> family{pid};
        for (size_t i = 0; i < family.size() && i < processes_.size(); ++i)
            for (const Process& p : processes_) {
                if (p.parent != family[i] || p.pid == family[i])
                    continue;
                if (auto seen = p.inherited.find(fd); seen != p.inherited.end())
                    return seen->second;
                family.push_back(p.pid);
            }
        return "";
    };
    for (auto& moment : moments_)
        for (auto& table : moment.processes)
            for (auto& entry : table.fds)
                if (entry.what.empty())
                    entry.what = named(table.pid, entry.fd);
}

void Run::inherit(Process& child, const Process& parent)
{
    child.fds = parent.fds;
    for (const auto& [fd, held] : child.fds)
        if (held.channel)
            ++channels_[*held.channel].holders;
}

size_t Run::add_step(Step step)
{
    Process& p = known(step.pid);
    size_t index = step_count();
    if (step.channel) {
        Channel& c = channels_[*step.channel];
        c.first_step = std::min(c.first_step, index);
        c.last_step = index;
    }
    live_.push_back(std::move(step));
    p.fold = index;
    return index;
}

size_t Run::fold_or_add(Step step)
{
    Process& p = known(step.pid);
    Step* last = p.fold ? live(*p.fold) : nullptr;
    if (last && fold_into(*last, step))
        return *p.fold;
    return add_step(std::move(step));
}

std::optional<size_t> Run::channel_for(const Target& target, std::optional<size_t> otherwise)
{
    if (target.name.empty())
        return std::nullopt;
    bool terminal = target.kind == Target::Kind::path && is_terminal(target.name);
    bool socket = target.kind == Target::Kind::other && is_socket(target.name);
    SocketName sock = socket ? socket_name(target.name) : SocketName{};
    const std::string& key = terminal ? terminal_key() : socket ? sock.key : target.name;
    auto it = channel_by_target_.find(key);
    if (it != channel_by_target_.end())
        return it->second;
    // A connection seen for the first time: the channel of either end
    // as it was before it connected. Each end's own name leads to it from
    // now on: once the other end has closed, strace names an end alone.
    if (!sock.local.empty()) {
        std::optional<size_t> found;
        for (const std::string* end : {&sock.local, &sock.peer})
            if (auto known = channel_by_target_.find(*end);
                !found && known != channel_by_target_.end())
                found = known->second;
        if (found) {
            channel_by_target_[key] = *found;
            channel_by_target_.emplace(sock.local, *found);
            channel_by_target_.emplace(sock.peer, *found);
            return found;
        }
    }

    if (otherwise) {
        channel_by_target_[key] = *otherwise;
        return otherwise;
    }

    Channel c;
    if (terminal) {
        c.kind = Channel::Kind::terminal;
        c.name = "the terminal";
    } else if (target.kind == Target::Kind::pipe) {
        c.kind = Channel::Kind::pipe;
        c.name = "a pipe from outside";
        c.target = target.name;
    } else if (socket) {
        c.kind = Channel::Kind::socket;
        c.name = "socket " + std::to_string(++sockets_named_);
    } else if (target.kind != Target::Kind::path) {
        // "anon_inode:[eventfd]" is an eventfd, whose writes a read takes
        // as a pipe's; anything else as it is named.
        size_t open = target.name.find('[');
        c.name = target.name.rfind("anon_inode:", 0) == 0 && open != std::string::npos
                     ? target.name.substr(open + 1, target.name.find(']', open) - open - 1)
                     : target.name;
        if (c.name == "eventfd")
            c.kind = Channel::Kind::counter;
    } else {
        c.path = target.name;
        c.name = target.name.rfind("/dev/", 0) == 0 ? target.name : base_name(target.name);
        c.kind = is_fifo_ && is_fifo_(target.name) ? Channel::Kind::fifo : Channel::Kind::file;
    }
    size_t index = channels_.size();
    if (!free_channels_.empty()) {
        index = free_channels_.back();
        free_channels_.pop_back();
        channels_[index] = std::move(c);
    } else {
        channels_.push_back(std::move(c));
    }
    channel_by_target_[key] = index;
    if (!sock.local.empty()) {
        channel_by_target_.emplace(sock.local, index);
        channel_by_target_.emplace(sock.peer, index);
    }
    return index;
}

std::optional<size_t> Run::fifo_channel(const std::string& path)
{
    auto c = channel_for({path.front() == '/' ? Target::Kind::path : Target::Kind::other, path});
    if (c)
        channels_[*c].kind = Channel::Kind::fifo;
    return c;
}

void Run::data_moved(size_t step, size_t channel, long long bytes, bool is_read)
{
    if (!channels_[channel].carries_data())
        return;
    auto& queue = unread_[channel];
    int pid = live(step)->pid;
    if (!is_read) {
        if (!queue.empty() && queue.back().step == step)
            queue.back().bytes = saturating_add(queue.back().bytes, bytes);
        else
            queue.push_back({step, pid, bytes});
        // A reader outside the trace never takes them: keep the memory bounded.
        if (queue.size() > 4096)
            queue.pop_front();
        return;
    }
    // A socket carries bytes both ways: what a process reads is what the
    // other end wrote, never its own.
    bool both_ways = channels_[channel].kind == Channel::Kind::socket;
    for (auto next = queue.begin(); bytes > 0 && next != queue.end();) {
        if (both_ways && next->writer == pid) {
            ++next;
            continue;
        }
        size_t from = next->step;
        long long& left = next->bytes;
        long long taken = std::min(bytes, left);
        auto last = last_arrow_.find(channel);
        if (last != last_arrow_.end() && arrows_[last->second].from == from &&
            arrows_[last->second].to == step) {
            arrows_[last->second].bytes = saturating_add(arrows_[last->second].bytes, taken);
        } else if (from < keep_ && step < keep_) {
            arrows_.push_back({Arrow::Kind::data, from, step, taken, channel});
            last_arrow_[channel] = arrows_.size() - 1;
        }
        left -= taken;
        bytes -= taken;
        if (left == 0)
            next = queue.erase(next);
    }
}

void Run::add(const Event& e)
{
    if (!start_time_)
        start_time_ = e.time;
    double t = std::max(0.0, e.time - *start_time_);
    last_time_ = std::max(last_time_, e.time);
    // A program started again once everything before it has ended (a
    // lesson run on a terminal, then into a pipe) is a run of its own:
    // its pipes are named afresh.
    if (!index_of(e.pid) && !processes_.empty() &&
        std::all_of(processes_.begin(), processes_.end(),
                    [](const Process& q) { return q.ended.has_value(); })) {
        ++runs_;
        pipes_named_ = socket_pairs_named_ = sockets_named_ = 0;
    }
    Process& p = process_for(e.pid);

    if (const auto* c = std::get_if<Call>(&e.what)) {
        size_t before = step_count();
        settle_source(p, nullptr);
        Calls::dispatch(*this, p, *c, t);
        // A fork adds a process: `p` may have moved.
        await_source(known(e.pid), before);
    } else if (const auto* code = std::get_if<CodeAt>(&e.what)) {
        stacks_ = true;
        settle_source(p, code);
    } else if (const auto* s = std::get_if<Signal>(&e.what)) {
        bool resumes = s->name == "SIGCONT" && p.stopped;
        p.stopped = p.stopped && !resumes;
        size_t at = add_step(
            {.pid = p.pid, .time = t, .what = step::Signal{s->name, s->sender, s->code, resumes}});
        signal_arrived(at, *s);
        // SIGCHLD comes from a child's end, however late it is delivered.
        if (s->name == "SIGCHLD" && s->sender != 0)
            if (auto child = index_of(s->sender); child && processes_[*child].end_step &&
                                                  processes_[*child].parent == p.pid &&
                                                  s->code == "CLD_EXITED")
                add_arrow({Arrow::Kind::signal, *processes_[*child].end_step, at, 0, std::nullopt});
    } else if (const auto* stop = std::get_if<Stopped>(&e.what)) {
        p.stopped = true;
        add_step({.pid = p.pid, .time = t, .what = step::Stopped{stop->signal}});
    } else if (const auto* x = std::get_if<Exited>(&e.what)) {
        end_process(p, t, ProcessEnd{.status = x->status}, true);
    } else if (const auto* k = std::get_if<Killed>(&e.what)) {
        end_process(p, t, ProcessEnd{.killed = true, .signal = k->signal}, false);
        // SIGKILL is never delivered as such: the process just ends.
        signal_arrived(*p.end_step, Signal{.name = k->signal});
    }
    retire(false);
}

// In a trace with stacks, the step a call made waits for its stack, which
// strace writes under the call.
void Run::await_source(Process& p, size_t steps_before)
{
    if (!stacks_)
        return;
    for (size_t i = steps_before; i < step_count(); ++i)
        if (live_[i - first_live_].pid == p.pid) {
            p.awaiting_source = i;
            pin(i);
            return;
        }
}

// The stack came (`code`), or will not: the step goes on.
void Run::settle_source(Process& p, const CodeAt* code)
{
    if (!p.awaiting_source)
        return;
    size_t index = *std::exchange(p.awaiting_source, std::nullopt);
    Step* step = live(index);
    if (step && code && source_of_ && !code->frames.empty())
        step->source = source_of_(code->frames);
    unpin(index);
}

// A signal that a traced process sent: an arrow from its kill to here.
void Run::signal_arrived(size_t step, const Signal& signal)
{
    auto sent = signals_sent_.find(live(step)->pid);
    if (sent == signals_sent_.end())
        return;
    auto& kills = sent->second;
    // The sender is known for a signal delivered, not for a death by one.
    auto kill = std::find_if(kills.begin(), kills.end(), [&](const Sent& k) {
        return (signal.sender == 0 || k.sender == signal.sender) && k.signal == signal.name;
    });
    if (kill == kills.end())
        return;
    add_arrow({Arrow::Kind::signal, kill->step, step, 0, std::nullopt});
    kills.erase(kill);
}

void Run::end_process(Process& p, double t, ProcessEnd how, bool exited)
{
    settle_source(p, nullptr);
    if (p.hidden)
        add_step({.pid = p.pid, .time = t, .what = step::HiddenCalls{p.program, p.hidden_calls}});
    p.ended = t;
    // Its descriptors close as it ends; a thread's table lives on.
    if (p.thread_of == 0)
        while (!p.fds.empty())
            release(p, p.fds.begin()->first);
    if (!exited || !p.exit_called) {
        p.end_how = how;
        p.end_step = add_step({.pid = p.pid, .time = t, .what = step::Ended{std::move(how)}});
    }
    p.fold.reset();
    if (p.thread_of == 0)
        note_plumbing(PlumbingChange::end, *p.end_step, p.pid);
}

void Run::finish()
{
    double end = duration();
    for (Process& p : processes_) {
        if (!p.ended) {
            if (p.hidden)
                add_step({.pid = p.pid,
                          .time = end,
                          .what = step::HiddenCalls{p.program, p.hidden_calls}});
            add_step({.pid = p.pid, .time = end, .what = step::StillRunning{}});
        } else if (p.child && !p.collected) {
            add_step({.pid = p.pid, .time = end, .what = step::Zombie{end - *p.ended}});
        }
    }
    // The figures of each run stop at the last change a call made: the
    // ends that follow it are the timeline's to tell.
    std::vector<PlumbingMoment> kept;
    int run = 0;
    bool trailing = false;
    for (auto it = moments_.rbegin(); it != moments_.rend(); ++it) {
        auto index = index_of(it->pid);
        int its_run = index ? processes_[*index].run : run;
        trailing = trailing && its_run == run;
        if (its_run != run)
            trailing = true;
        run = its_run;
        bool an_end = it->change == PlumbingChange::end || it->change == PlumbingChange::collect;
        if (trailing && an_end)
            continue;
        trailing = false;
        kept.push_back(std::move(*it));
    }
    moments_.assign(std::make_move_iterator(kept.rbegin()), std::make_move_iterator(kept.rend()));
    name_inherited();
    retire(true);
}

} // namespace timeline
