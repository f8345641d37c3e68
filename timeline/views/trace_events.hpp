// Events of the Trace Event Format written as JSON, by nlohmann's library,
// on a thread of their own: the export hands over what each event says,
// a batch at a time, and goes on with the next steps while the thread
// writes. Without a thread to be had, the caller writes.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace timeline {

class TraceEvents {
public:
    // Writes to `file`, which it does not close.
    explicit TraceEvents(std::FILE* file);
    TraceEvents(const TraceEvents&) = delete;
    TraceEvents& operator=(const TraceEvents&) = delete;
    ~TraceEvents();

    // Times in microseconds. A slice on a thread's track ("X"), with the
    // source line that made it as an argument when there is one.
    void slice(int pid, int tid, int64_t ts, int64_t dur, std::string_view name,
               std::string_view line);
    // A process's life or its time as a zombie: a slice under its steps.
    void life(int pid, int tid, int64_t ts, int64_t dur, std::string_view name, int parent);
    // A flow arrow's start ("s") and its end ("f", bound to the slice it
    // comes into).
    void flow(bool start, long long id, std::string_view name, int pid, int tid, int64_t ts);
    // What a track is called, and where it goes among the others.
    void name(bool process, int pid, int tid, std::string_view name);
    void order(bool process, int pid, int tid, long long index);

    // The end of the trace; whether every byte was written.
    bool finish();

private:
    enum class Kind : char {
        slice,
        slice_at_line,
        life,
        life_of_child,
        flow_start,
        flow_end,
        process_name,
        thread_name,
        process_order,
        thread_order,
        count,
    };
    struct Pool;
    struct Event {
        Kind kind;
        int pid;
        int tid;
        int64_t ts;
        int64_t dur; // an order's index, a life's parent
        long long id;
        uint32_t name_at, name_size; // in the batch's text
        uint32_t line_at, line_size;
    };
    struct Batch {
        std::string text;
        std::vector<Event> events;
    };

    void add(Event event, std::string_view name, std::string_view line = {});
    void hand_over();
    Pool& pool(Kind kind);
    void write(const Batch& batch);
    void write_pool(Pool& pool);
    void write_out();
    void run();

    std::FILE* file_;
    bool ok_ = true;
    bool first_ = true;
    std::string json_; // written, not yet in the file
    std::array<std::unique_ptr<Pool>, size_t(Kind::count)> pools_;
    Batch batch_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> ready_;
    std::deque<Batch> spare_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace timeline
