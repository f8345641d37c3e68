// The world of a run at one step, as the kernel holds it: each process
// with its descriptor table, the open file descriptions the descriptors
// point at (shared after fork and dup, each with its access mode, status
// flags, offset and how many descriptors refer to it), and the objects
// they are open on (a pipe with the bytes in it, a FIFO, a file, the
// terminal with what it has received). WorldLog keeps, for every step,
// only what that step changed, so that a long run stays small; a view
// replays the changes forwards and backwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/channels.hpp"
#include "model/flows.hpp"
#include "model/processes.hpp"
#include "model/step.hpp"

namespace timeline {

struct WorldProcess {
    enum class Life { running, stopped, zombie };
    int pid = 0;
    int parent = 0;
    std::string program;
    Life life = Life::running;
    // Running, it may be inside a call at this step: the step that tells
    // that call (its entry came before this step, its return after), and
    // whether the call waits for something outside the process or only
    // takes its time.
    std::optional<size_t> in_call;
    bool call_waits = false;
    int adopted_from = 0; // its parent that ended first, when it was adopted
    std::map<int, size_t> fds; // descriptor: its description's id
    std::set<int> cloexec; // the descriptors marked close-on-exec
    int group = 0; // its process group; 0: the one the traced program started in
    std::set<std::string> ignored; // signals it ignores ("SIGPIPE")
    std::set<std::string> handled; // signals a handler of its own catches
    std::uint64_t blocked = 0; // signals it blocks: bit n - 1 for signal n
    // Runs a system program (ls, ps) whose own calls are counted, not
    // shown: what they do to its descriptors is not told until it ends.
    bool hidden = false;
    bool operator==(const WorldProcess&) const = default;
};

struct WorldDescription {
    std::optional<size_t> object; // the channel it is open on, when known
    End end = End::unknown;
    std::optional<Access> access; // nothing: given from outside, not told
    std::string flags;
    std::optional<long long> offset;
    int refs = 0; // descriptors of the traced processes that point at it
    // Opened before the trace began, and given to the first process as
    // descriptor `given_fd`: the shell's terminal.
    bool outside = false;
    int given_fd = -1;
    bool operator==(const WorldDescription&) const = default;
};

struct WorldObject {
    Channel channel; // only what names it: its kind, path, number
    long long in_flight = 0; // written, not read yet
    std::string in_flight_bytes; // the first of them, as far as told
    bool in_flight_whole = true; // the bytes are all of them
    bool in_flight_exact = true; // or, a write still waits for room: at most `in_flight`
    long long received = 0; // a terminal's or a file's: written into it so far
    std::string received_bytes;
    bool operator==(const WorldObject& o) const;
};

struct World {
    std::vector<WorldProcess> processes; // in the order they appeared
    std::map<size_t, WorldDescription> descriptions;
    std::map<size_t, WorldObject> objects; // by channel
};

// The id of the description a process's descriptor 0, 1 or 2 has from
// outside the trace (the first traced process of its family got it).
size_t outside_description(const Processes& processes, const Process& p, int fd);
bool is_outside_description(size_t id);

World world_now(const Processes& processes, const Channels& channels, const Flows& flows);

class WorldLog {
public:
    // What one step changed: each thing as it is after it, or gone.
    struct Change {
        size_t step = 0;
        std::vector<WorldProcess> processes;
        std::vector<int> processes_gone;
        std::vector<std::pair<size_t, WorldDescription>> descriptions;
        std::vector<size_t> descriptions_gone;
        std::vector<std::pair<size_t, WorldObject>> objects;
        std::vector<size_t> objects_gone;
        bool empty() const
        {
            return processes.empty() && processes_gone.empty() && descriptions.empty() &&
                   descriptions_gone.empty() && objects.empty() && objects_gone.empty();
        }
    };

    // Changes are kept among the first `keep` steps.
    explicit WorldLog(size_t keep) : keep_(keep) {}
    // The world after `step`, the latest step: what changed is kept.
    void note(size_t step, World now);
    // The end of the trace: what the first process's descriptors 0, 1, 2
    // were given, learned as they were used, is said from the start.
    void finish(const Processes& processes, const Channels& channels);
    const std::vector<Change>& changes() const { return changes_; }
    // Replays one step's changes onto the world before it.
    static void apply(World& world, const Change& change);
    // Which call each running process is inside at each step, from the
    // steps' own times (`steps`: the run's, by index): said where it changes.
    void note_calls(const std::vector<Step>& steps);

private:
    size_t keep_;
    World base_; // before the latest step
    World last_; // after it, as far as told
    std::vector<Change> changes_;
};

} // namespace timeline
