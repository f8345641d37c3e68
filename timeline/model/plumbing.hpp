// The plumbing of a run at the moments that change it: each process's
// descriptor table (what every descriptor points at, which end of a pipe
// it holds), as a textbook draws it, before and after a pipe is made, a
// fork, the closes, an exec, a process's end. The handlers say which
// steps are such moments; the tables themselves are the world log's
// (the one record of what each step changed), replayed to each moment at
// the end of the trace. A view draws each moment as a figure.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/channels.hpp"
#include "model/processes.hpp"
#include "model/step.hpp"
#include "model/world.hpp"

namespace timeline {

// What changed the tables: a new pipe or socket pair, a fork, closes, a
// copy, an exec, a file opened, a socket made or a connection accepted,
// another new descriptor (an eventfd, an epoll), a process's end, a
// zombie collected.
enum class PlumbingChange {
    pipe,
    socket_pair,
    fork,
    close,
    dup,
    exec,
    open,
    socket,
    accept,
    new_fd,
    received, // descriptors received through a socket (SCM_RIGHTS)
    end,
    collect
};

struct TableEntry {
    int fd = -1;
    // What it points at, as it was then; nothing: inherited, never seen.
    std::optional<Channel> channel;
    std::optional<size_t> object; // and which of the world's objects it is
    bool carries_data = false; // a pipe, a FIFO, a socket: drawn as an object
    End end = End::unknown;
    size_t description = 0; // in PlumbingMoment::world
};

struct ProcessTable {
    int pid = 0;
    std::string program; // what it runs now
    bool zombie = false; // ended, not yet collected
    std::vector<TableEntry> fds; // 0, 1, 2 always, then in order
};

struct PlumbingMoment {
    PlumbingChange change = PlumbingChange::pipe;
    int count = 1; // changes of this kind in a row, grouped
    size_t step = 0; // the last of them
    // The latest step of the run when it was noted (a fork's step can come
    // before the child's first call is read): the tables are the world
    // after it.
    size_t as_of = 0;
    int pid = 0; // who made the last of them
    size_t closed_on_exec = 0; // an exec: how many descriptors it closed
    // The world after the step, as the log replays it, and each process's
    // table read from it: alive or zombie, in order of appearance.
    World world;
    std::vector<ProcessTable> processes;
};

// Each process's descriptor table in a world: what each descriptor's
// description is open on, as it was named then.
std::vector<ProcessTable> tables_of(const World& world);

class Plumbing {
public:
    // Moments are recorded among the first `keep` steps.
    explicit Plumbing(size_t keep) : keep_(keep) {}

    // `step` (by `pid`) changed the tables, `latest` the run's latest step
    // then: a moment to draw.
    void note(PlumbingChange change, size_t step, int pid, size_t latest);
    // The end of the trace, the log finished: each moment's tables are
    // the log's after its step, and each run's figures stop at the last
    // change a call made (the ends that follow it are the timeline's to
    // tell).
    void finish(const Processes& processes, const WorldLog& log);
    // The exec at `step`, just noted, closed `closed` descriptors.
    void closed_on_exec(size_t step, size_t closed)
    {
        if (!moments_.empty() && moments_.back().step == step)
            moments_.back().closed_on_exec = closed;
    }

    const std::vector<PlumbingMoment>& moments() const { return moments_; }

private:
    size_t keep_;
    std::vector<PlumbingMoment> moments_;
};

} // namespace timeline
