// Decodes traces on a thread of its own while the caller builds the model
// and writes the timeline: the two halves of the work share two cores.
// The events come a batch at a time, and only a few batches wait at once,
// so that memory does not grow with the trace.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "reader/merged_traces.hpp"

namespace timeline {

class ReadAhead {
public:
    explicit ReadAhead(MergedTraces& traces);
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // Stops the reading thread, where it is, and waits for it.
    ~ReadAhead();

    // The next event, in the order the traces give them, good until the
    // next call; null at the end. Throws what the reader threw (a
    // TraceError), where it threw it.
    const Event* next();

private:
    void read();

    MergedTraces& traces_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<Event>> ready_;
    // Batches taken, given back to be filled again: the reader reuses
    // their memory, and frees what its events held in its own thread.
    std::deque<std::vector<Event>> spare_;
    bool done_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
    std::vector<Event> batch_; // the caller's, being taken
    size_t taken_ = 0;
    // Without a thread (none could be made), the caller reads.
    std::optional<Event> event_;
    std::thread thread_;
};

} // namespace timeline
