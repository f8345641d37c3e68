// What the call handlers change: the run's channels, its processes with
// their descriptor tables, its steps and arrows, the bytes and signals in
// flight, and the plumbing at the moments that change it. Each part owns
// its state; a handler works through their members.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "model/channels.hpp"
#include "model/flows.hpp"
#include "model/plumbing.hpp"
#include "model/processes.hpp"
#include "model/steps.hpp"
#include "model/world.hpp"

namespace timeline {

struct State {
    State(std::function<bool(const std::string&)> is_fifo, size_t keep)
        : channels(std::move(is_fifo)), steps(channels, processes, keep), plumbing(keep)
    {
    }

    Channels channels;
    Processes processes{channels};
    Steps steps;
    Flows flows{steps, channels};
    Plumbing plumbing; // which steps changed the descriptor tables
    // What each step changed in the world: kept whenever steps are, for
    // the figures and the views that replay a run.
    std::optional<WorldLog> world;
    int run = 1; // which run of the program the events belong to, from 1

    // The process of a pid, found or made in the current run.
    Process& process(int pid) { return processes.of(pid, run); }
    // `step` changed the tables: a moment for a figure.
    void note_plumbing(PlumbingChange change, size_t step, int pid)
    {
        plumbing.note(change, step, pid, steps.count() - 1);
    }
};

} // namespace timeline
