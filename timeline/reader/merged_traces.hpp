// Several traces of one run read as one, by time.
#pragma once

#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/trace_reader.hpp"

namespace timeline {

// Several traces of one run (a server and its clients, traced apart) read
// as one: the next event is the earliest of theirs.
class MergedTraces {
public:
    void add(std::unique_ptr<std::istream> in, std::string source, int pid = 0);
    std::optional<Event> next();
    // The same into `out`; whether there was one.
    bool next(Event& out);

private:
    struct Input {
        std::unique_ptr<std::istream> stream;
        std::unique_ptr<TraceReader> reader;
        std::optional<Event> ahead;
    };
    std::vector<Input> inputs_;
};

} // namespace timeline
