// The world after each step that changed it, as lines of JSON: every
// process with its descriptors, the open file descriptions they point at,
// and the objects those are open on. It is what the model claims the
// kernel holds, written whole at each change, for a harness that reads the
// kernel's own view (/proc, kcmp) at the same moments and compares.
#pragma once

#include <string>

#include "model/run.hpp"

namespace timeline {

// {"step":7,"processes":[{"pid":4283,"parent":4282,"program":"a.out",
//  "life":"running","adopted_from":0,"fds":{"0":1,"3":5},"cloexec":[3]}],
//  "descriptions":{"5":{"object":2,"end":"read","access":"read",
//  "flags":"O_NONBLOCK","offset":null,"refs":2,"outside":false}},
//  "objects":{"2":{"kind":"pipe","path":"","target":"pipe:[4480]",
//  "in_flight":3,"received":0}}}
// A description's "access" is null where it was given from outside the
// trace and nothing told how; its "offset" is null where it is not known.
class WorldJson : public StepSink {
public:
    explicit WorldJson(std::string path) : path_(std::move(path)) {}
    bool needs_world() const override { return true; }
    // Writes the file; throws std::system_error when it cannot.
    void finish(const Run& run) override;

private:
    std::string path_;
};

} // namespace timeline
