// The model of one traced run: its processes, the pipes and FIFOs between
// them, and the steps each process took, in time order. It is built event
// by event, as a stream, and knows nothing of how it will be shown, nor of
// how strace writes: the reader has decoded each event already.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "event.hpp"
#include "plumbing.hpp"
#include "step.hpp"

namespace timeline {

// What a descriptor points at.
struct Channel {
    enum class Kind { pipe, fifo, socket, counter, terminal, file, other };
    // Whether bytes written into it come out at a read: a pipe, a FIFO, a
    // socket, an eventfd's counter.
    bool carries_data() const
    {
        return kind == Kind::pipe || kind == Kind::fifo || kind == Kind::socket ||
               kind == Kind::counter;
    }
    Kind kind = Kind::other;
    std::string name; // "pipe A", "FIFOVEK", "the terminal", "out"
    std::string path; // the file's path (FIFO, file)
    std::string target; // a pipe's name in the trace ("pipe:[4480]")
    bool created_here = false; // a pipe made by pipe(), a FIFO by mkfifo, in this run
    int read_fd = -1; // a pipe's descriptors as pipe() returned them,
    int write_fd = -1; // which a forked child inherits
    int holders = 0; // descriptors on it in the traced processes' tables
    size_t first_step = SIZE_MAX; // the steps that name it
    size_t last_step = 0;
};

// One entry of a process's descriptor table.
struct Held {
    std::optional<size_t> channel; // what it points at, when known
    End end = End::unknown; // which end of a pipe or FIFO
};

struct Arrow {
    enum class Kind { fork, data, collect, signal };
    Kind kind = Kind::fork;
    size_t from = 0; // step indices
    size_t to = 0;
    long long bytes = 0; // data: how many went from one step to the other
    std::optional<size_t> channel; // data: through which pipe or FIFO
};

struct Process {
    int pid = 0;
    int parent = 0; // 0 when it was not started inside the trace
    std::string program; // what it runs now (base name)
    std::vector<std::pair<size_t, std::string>> programs; // from step index on, the name
    bool child = false; // made by fork inside the trace
    std::optional<double> ended;
    std::optional<size_t> end_step;
    std::optional<ProcessEnd> end_how; // what its parent's wait collects
    bool exit_called = false;
    std::optional<double> collected;
    std::optional<size_t> collect_step;
    std::optional<size_t> born_step;
    // Set after exec of a system program (ls, ps): its own calls are
    // counted, not shown.
    bool hidden = false;
    long hidden_calls = 0;
    std::optional<int> last_parent; // what getppid answered last
    std::map<int, Held> fds; // its descriptor table, as far as the trace tells it
    // Descriptors 0, 1, 2 as it was given them, named where it used them.
    std::map<int, std::string> inherited;
    std::optional<size_t> fold; // the step that an identical next call joins
    bool started = false; // has run an exec of its own
    bool stopped = false; // by a signal, until SIGCONT
    int thread_of = 0; // a thread: the pid of the process it belongs to
    int thread_number = 0; // 2 for the second thread of its process
    int threads = 1; // how many threads it has started, itself included
    std::optional<size_t> spawned_by; // vfork, posix_spawn: the parent's step
    // The step its last call made, held until the stack of that call
    // (strace -k) says which line of the program made it.
    std::optional<size_t> awaiting_source;
    // Which run it belongs to, from 1: a program started again after all
    // before it had ended begins another.
    int run = 1;
};

class Run {
public:
    // Takes each step once it can change no more (a later call of the same
    // kind folds into the step before it), in order: a renderer that
    // streams.
    using StepSink = std::function<void(const Run&, size_t index, const Step&)>;
    static constexpr size_t kKeepAll = SIZE_MAX;
    // A sink may hold this many of the first steps until the end (to tell
    // them with all the trace knows): what they name stays.
    static constexpr size_t kStepsHeld = 4096;

    // `is_fifo(path)`: whether a path is a FIFO, for the channels whose
    // kind the trace does not tell. `keep`: how many of the first steps,
    // and the arrows between them, stay for steps() and arrows(); the rest
    // are counted and given to `sink` only, so that memory does not grow
    // with the trace.
    explicit Run(std::function<bool(const std::string&)> is_fifo = nullptr, size_t keep = kKeepAll,
                 StepSink sink = nullptr);

    void add(const Event& event);
    // Which line of a program's source the frames of a call's stack are
    // at (the first of them that can be told); without it, or for a trace
    // recorded without stacks, steps have no source line.
    using SourceOf = std::function<std::optional<SourceLine>(const std::vector<Frame>&)>;
    void set_source_of(SourceOf source_of) { source_of_ = std::move(source_of); }
    // The end of the trace: zombies never collected, processes still
    // running, system programs' hidden calls. Every step has then gone to
    // the sink.
    void finish();

    // After finish(): the steps kept, and how many there were in all.
    const std::vector<Step>& steps() const { return kept_; }
    size_t step_count() const { return first_live_ + live_.size(); }
    const std::vector<Arrow>& arrows() const { return arrows_; }
    // The descriptor tables at each moment that changed them, among the
    // steps kept, up to the last change a call made (what happens as all
    // ends is the timeline's to tell).
    const std::vector<PlumbingMoment>& plumbing() const { return moments_; }
    const std::deque<Channel>& channels() const { return channels_; }
    // In the order they appeared.
    const std::vector<Process>& processes() const { return processes_; }
    const Process* process(int pid) const;
    const Channel* channel_of(const Step& step) const;
    double duration() const { return last_time_ - start_time_.value_or(last_time_); }
    int runs() const { return runs_; }

private:
    // The handlers of each family of calls build the model through these.
    friend struct Calls;

    // A step that can still change, or nothing once it has gone to the
    // sink.
    Step* live(size_t index);
    // Keeps `index` from going to the sink while a later call may still
    // change it (a vfork's parent learns what its child became).
    void pin(size_t index) { pinned_.push_back(index); }
    void unpin(size_t index);
    void add_arrow(Arrow arrow);
    // Hands over every step that can change no more; all of them at the end.
    void retire(bool all);
    // The figures' descriptors 0, 1, 2 named, where the trace tells later
    // what a process (or the parent it has them from) was given.
    void name_inherited();
    void recycle_channels();

    Process& process_for(int pid);
    // Where a pid's process is in processes_; most events are the same
    // process's as the one before.
    std::optional<size_t> index_of(int pid) const;
    Process& known(int pid) { return processes_[*index_of(pid)]; }
    // Whose descriptor table a process uses: a thread shares its process's.
    Process& files_of(Process& p);
    // Descriptor tables. A pipe that no descriptor holds any more is
    // forgotten by its target: the kernel may give its number to a new one.
    void hold(Process& p, int fd, std::optional<size_t> channel, End end);
    void release(Process& p, int fd);
    void inherit(Process& child, const Process& parent);
    // Records the tables as they are now, after `step` changed them.
    void note_plumbing(PlumbingChange change, size_t step, int pid);
    size_t add_step(Step step);
    // Folds `step` into the process's last step when it is the same call
    // again; returns the step's index either way.
    size_t fold_or_add(Step step);
    // `otherwise`: the channel a target seen for the first time joins, if
    // not one of its own.
    std::optional<size_t> channel_for(const Target& target,
                                      std::optional<size_t> otherwise = std::nullopt);
    std::optional<size_t> fifo_channel(const std::string& path);
    void data_moved(size_t step, size_t channel, long long bytes, bool is_read);
    void end_process(Process& p, double t, ProcessEnd how, bool exited);
    void signal_arrived(size_t step, const Signal& signal);
    void await_source(Process& p, size_t steps_before);
    void settle_source(Process& p, const CodeAt* code);

    std::function<bool(const std::string&)> is_fifo_;
    SourceOf source_of_;
    bool stacks_ = false; // the trace has stack traces
    size_t keep_;
    StepSink sink_;
    std::vector<Step> kept_;
    std::deque<Step> live_; // steps not handed over yet; the first is number first_live_
    size_t first_live_ = 0;
    std::vector<size_t> pinned_;
    std::vector<Arrow> arrows_;
    std::vector<PlumbingMoment> moments_;
    std::deque<Channel> channels_;
    // Pipes that no descriptor holds any more, oldest first: once no step
    // that is still to be told names one, its place serves a new channel.
    std::deque<size_t> closed_;
    // Sockets bound to an address, and those that connected to one and
    // wait to be accepted, by address: an accepted end that strace names
    // alone (its client gone already) is the oldest of them.
    std::map<size_t, std::string> bound_;
    std::map<std::string, std::deque<size_t>> connecting_;
    std::vector<size_t> free_channels_;
    std::map<std::string, size_t> channel_by_target_;
    std::vector<Process> processes_;
    std::unordered_map<int, size_t> process_index_;
    mutable std::optional<int> last_pid_; // any int may be a pid in a trace
    mutable size_t last_index_ = 0;
    int runs_ = 1;
    int pipes_named_ = 0;
    int socket_pairs_named_ = 0;
    int sockets_named_ = 0;
    std::optional<double> start_time_;
    double last_time_ = 0;
    // Bytes written into each pipe or FIFO and not read yet: (step, bytes).
    struct Unread {
        size_t step; // the write
        int writer; // its process
        long long bytes;
    };
    std::map<size_t, std::deque<Unread>> unread_;
    // The last data arrow of each channel, which the next read of the same
    // write may grow.
    std::map<size_t, size_t> last_arrow_;
    // Signals sent and not yet seen arriving, by their target.
    struct Sent {
        size_t step; // the kill
        int sender;
        std::string signal;
    };
    std::map<int, std::vector<Sent>> signals_sent_;
};

} // namespace timeline
