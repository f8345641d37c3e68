#include "session.hpp"

#include <memory>

#include "reader/read_ahead.hpp"
#include "reader/source_lines.hpp"

namespace timeline {

void read_traces(MergedTraces& traces, Run& run, bool read_ahead)
{
    if (read_ahead) {
        ReadAhead events(traces);
        while (const Event* event = events.next())
            run.add(*event);
    } else {
        while (auto event = traces.next())
            run.add(*event);
    }
    run.finish();
}

void tell_source_lines(Run& run)
{
    auto lines = std::make_shared<SourceLines>();
    run.set_source_of([lines](const std::vector<Frame>& frames) { return lines->of(frames); });
}

} // namespace timeline
