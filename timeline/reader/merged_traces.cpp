#include "reader/merged_traces.hpp"

#include <utility>

namespace timeline {

void MergedTraces::add(std::unique_ptr<std::istream> in, std::string source, int pid)
{
    Input input;
    input.stream = std::move(in);
    input.reader =
        std::make_unique<TraceReader>(*input.stream, std::move(source), pid, int(inputs_.size()));
    input.ahead = input.reader->next();
    inputs_.push_back(std::move(input));
}

std::optional<Event> MergedTraces::next()
{
    Event event;
    if (!next(event))
        return std::nullopt;
    return event;
}

bool MergedTraces::next(Event& out)
{
    if (inputs_.size() == 1) {
        Input& only = inputs_.front();
        if (!only.ahead)
            return only.reader->next(out);
        out = std::move(*only.ahead);
        only.ahead.reset();
        return true;
    }
    Input* earliest = nullptr;
    for (auto& input : inputs_)
        if (input.ahead && (!earliest || input.ahead->time < earliest->ahead->time))
            earliest = &input;
    if (!earliest)
        return false;
    out = std::move(*earliest->ahead);
    earliest->ahead = earliest->reader->next();
    return true;
}

} // namespace timeline
