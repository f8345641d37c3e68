#include "reader/merged_traces.hpp"

#include <utility>

namespace timeline {

void MergedTraces::add(std::unique_ptr<std::istream> in, std::string source, int pid)
{
    Input input;
    input.stream = std::move(in);
    input.reader = std::make_unique<TraceReader>(*input.stream, std::move(source), pid);
    input.ahead = input.reader->next();
    inputs_.push_back(std::move(input));
}

std::optional<Event> MergedTraces::next()
{
    if (inputs_.size() == 1) {
        Input& only = inputs_.front();
        return only.ahead ? std::exchange(only.ahead, std::nullopt) : only.reader->next();
    }
    Input* earliest = nullptr;
    for (auto& input : inputs_)
        if (input.ahead && (!earliest || input.ahead->time < earliest->ahead->time))
            earliest = &input;
    if (!earliest)
        return std::nullopt;
    std::optional<Event> event = std::move(earliest->ahead);
    earliest->ahead = earliest->reader->next();
    return event;
}

} // namespace timeline
