// The processes and threads of a run, each with what the trace tells of
// its life and its descriptor table: which channel and which end each
// descriptor holds. A thread shares its process's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/channels.hpp"
#include "model/step.hpp"

namespace timeline {

// One entry of a process's descriptor table.
// An open file description, the kernel's entry that descriptors point
// at: made by open, pipe, socket, accept; shared by the descriptors that
// fork and dup copy; gone with the last of them.
struct Description {
    std::optional<size_t> channel; // what it is open on, when known
    End end = End::unknown; // which end of a pipe or FIFO
    std::optional<Access> access; // nothing for one given from outside the trace
    std::string flags; // its status flags beyond the access mode: "O_NONBLOCK|O_APPEND"
    std::optional<long long> offset; // a file's, where the trace tells it
    int refs = 0; // how many descriptors point at it
    double since = 0; // when its open began (seconds since the epoch); 0: before the trace
};

struct Held {
    std::optional<size_t> channel; // what it points at, when known
    End end = End::unknown; // which end of a pipe or FIFO
    bool cloexec = false; // closed when the process execs: the descriptor's own flag
    size_t description = 0; // its open file description (Processes::description)
};

struct Process {
    std::string program; // what it runs now (base name); "" while the trace has not said
    std::vector<std::pair<size_t, std::string>> programs; // from step index on, the program
    std::optional<double> ended;
    std::optional<size_t> end_step;
    std::optional<ProcessEnd> end_how; // what its parent's wait collects
    std::optional<double> collected;
    std::optional<size_t> collect_step;
    std::optional<size_t> born_step;
    long hidden_calls = 0; // a system program's own calls, counted
    std::optional<int> last_parent; // what getppid answered last
    std::map<int, Held> fds; // its descriptor table, as far as the trace tells it
    // Descriptors 0, 1, 2 as it was given them, where it used them before
    // the trace showed what they were.
    std::map<int, Channel> inherited;
    std::map<int, size_t> inherited_at; // and the channels they are
    std::optional<size_t> fold; // the step that an identical next call joins
    // The step of a call told as it started, held until its end comes.
    std::optional<size_t> told;
    std::optional<size_t> spawned_by; // vfork, posix_spawn: the parent's step
    // The step its last call made, held until the stack of that call
    // (strace -k) says which line of the program made it.
    std::optional<size_t> awaiting_source;
    // The line of its last call, when that call was made inside a library
    // function (popen's pipe2): a spawn of that function whose stack strace
    // cannot unwind takes it.
    std::optional<SourceLine> library_line;
    // What it does when a signal comes, where it is not the default.
    std::map<std::string, call::SignalAction::Disposition> dispositions;
    std::vector<int> ready; // what its last poll found ready: a read there does not wait
    std::map<long long, long long> shared_maps; // its MAP_SHARED mappings: address, bytes

    int pid = 0;
    int parent = 0; // 0 when it was not started inside the trace
    int thread_of = 0; // a thread: the pid of the process it belongs to
    int thread_number = 0; // 2 for the second thread of its process
    int threads = 1; // how many threads it has started, itself included
    // Which run it belongs to, from 1: a program started again after all
    // before it had ended begins another.
    int run = 1;
    int group = 0; // its process group; 0 while the trace has not said
    // Its parent ended first: another process became its parent, the one
    // `adopter` names (0 while not known, as when it is outside the trace).
    int adopter = 0;
    int former_parent = 0;

    bool child = false; // made by fork inside the trace
    bool exit_called = false;
    // Set after exec of a system program (ls, ps): its own calls are
    // counted, not shown.
    bool hidden = false;
    bool shown = false; // a system program's child: a step of it was shown
    bool started = false; // has run an exec of its own
    bool stopped = false; // by a signal, until SIGCONT
    bool subreaper = false; // it adopts the orphans of its descendants
    bool adopted = false;
    bool asked_since_adopted = false;
    // The C library blocks every signal around a spawn or a thread's
    // start, then restores the mask: neither is the program's own step.
    bool all_blocked = false;
    // The signals it blocks: bit n - 1 for signal n. Kept with the C
    // library's own changes too (what the kernel holds), from the mask a
    // call reports having had, where it tells.
    std::uint64_t blocked = 0;
    // Descriptors 0, 1, 2 it closed (or its parent had before the fork):
    // bit 0 for descriptor 0.
    unsigned char std_closed = 0;
};

class Processes {
public:
    explicit Processes(Channels& channels) : channels_(channels) {}

    // The process of a pid, found or made as part of run `run`. Making one
    // may move the others: a reference to one is good until the next.
    Process& of(int pid, int run);
    Process* find(int pid);
    const Process* find(int pid) const;
    Process& known(int pid) { return *find(pid); }
    // In the order they appeared.
    const std::vector<Process>& all() const { return processes_; }
    std::vector<Process>& all() { return processes_; }
    bool all_ended() const;

    // Whose descriptor table a process uses: a thread shares its process's.
    Process& table_of(Process& p);
    // A new description for the descriptor, which replaces what it held.
    void hold(Process& p, int fd, std::optional<size_t> channel, End end, bool cloexec = false);
    void hold(Process& p, int fd, Description made, bool cloexec);
    // `fd` points at what `from` does, sharing its description (dup).
    void share(Process& p, int fd, const Held& from, bool cloexec);
    const Description* description(size_t id) const;
    Description* description(size_t id);
    const std::map<size_t, Description>& descriptions() const { return descriptions_; }
    // How many descriptors of processes other than `pid` (alive) hold the
    // channel's `end` (a socket's ends: End::unknown).
    int holders(size_t channel, End end, int pid) const;
    // Whether a FIFO's `side` was open (by any process, even a message in
    // flight) before `time`: an open of the other side that began then
    // found it there and did not wait.
    bool side_open_before(size_t channel, End side, double time) const;
    // An orphan whose adopter is outside the trace: collected there, as it
    // ends, never a zombie the trace shows.
    bool collected_outside(const Process& p) const
    {
        return p.adopted && !p.collected && (p.adopter == 0 || !find(p.adopter));
    }
    // Ended, and not collected yet.
    bool zombie(const Process& p) const
    {
        return p.ended && p.child && !p.collected && !collected_outside(p);
    }
    void release(Process& p, int fd);
    // A process's entry for `fd`, or nothing. One of 0, 1 and 2 that it was
    // given from outside the trace, and has not closed, becomes an entry on
    // that given description (which the trace does not show either), so
    // that what is done to it (a copy, a mark, a pass) is kept.
    Held* entry(Process& p, int fd, std::optional<size_t> channel);
    // SCM_RIGHTS: a descriptor sent on a socket (into the queue `via`) travels
    // as a reference to its open file description, which lives on while
    // the message waits, even if the sender closes the descriptor.
    void pass(size_t via, const Held& held);
    // The next descriptor waiting on `via`, installed as `fd` on the same
    // description; false when the trace did not show it sent.
    bool take(Process& p, int fd, size_t via, bool cloexec);
    // The next `count` descriptors waiting on `via` reached by a read that
    // had no room for them: the kernel closes them.
    void drop_passed(size_t via, int count);
    // A forked child's table: a copy of its parent's.
    void inherit(Process& child, const Process& parent);

private:
    std::optional<size_t> index_of(int pid) const
    {
        if (last_pid_ == pid)
            return last_index_;
        return look_up(pid);
    }
    std::optional<size_t> look_up(int pid) const;

    void let_go(size_t description);

    Channels& channels_;
    std::vector<Process> processes_;
    std::map<size_t, Description> descriptions_; // by id, from 1
    std::map<size_t, std::deque<Held>> passing_; // by queue: descriptors sent, not yet received
    size_t next_description_ = 1;
    std::unordered_map<int, size_t> index_;
    // Most events are the same process's as the one before.
    mutable std::optional<int> last_pid_; // any int may be a pid in a trace
    mutable size_t last_index_ = 0;
};

} // namespace timeline
