// The model of one traced run: its processes, the pipes and FIFOs between
// them, and the steps each process took, in time order. It is built event
// by event, as a stream, and knows nothing of how it will be shown.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "trace_reader.hpp"

namespace timeline {

// What a descriptor points at.
struct Channel {
    enum class Kind { pipe, fifo, terminal, file, other };
    Kind kind = Kind::other;
    std::string name; // "pipe A", "FIFOVEK", "the terminal", "out"
    std::string path; // the file's path (FIFO, file)
    bool created_here = false; // a pipe made by pipe(), a FIFO by mkfifo, in this run
    int read_fd = -1; // a pipe's descriptors as pipe() returned them,
    int write_fd = -1; // which a forked child inherits
};

struct Step {
    enum class Kind {
        start, // the traced program begins: text = its path
        fork, // other = the new child
        born, // other = the parent (0 when not known)
        exec, // text = the program that replaces the image
        exec_failed, // text = program, error
        hidden_calls, // count = calls of a system program not shown; text = its name
        pipe, // fd = read end, fd2 = write end
        mkfifo, // error set when it already existed
        open, // fd, seconds = how long the open took; text = "read", "write" or "read/write"
        open_failed, // text = path, error
        close, // fd; text = "read end", "write end" or ""
        dup, // fd = the new descriptor, fd2 = the old one
        read, // fd, bytes (per call), total, count, data
        end_of_data, // fd: read returned 0
        write, // fd, bytes, total, count, data
        unread, // waits until its bytes are read: count = asks, seconds = paused, other = last
                // answer
        sleep, // seconds
        getppid, // other = the answer; fd2 = the answer before, when it changed
        getpid, // other = the answer
        wait, // other = the child collected; text = how it ended; seconds = its zombie time
        wait_none, // error: nothing to collect
        kill, // other = target pid; text = the signal
        exit, // other = the status
        ended, // text = "exited with status N" or "killed by SIGX"
        signal, // text = the signal; other = the sender's pid (0 when none)
        zombie, // seconds = how long; never collected
        still_running, // alive when the trace ended
        call, // any other call: text = name(args) = result
    };
    Kind kind = Kind::call;
    int pid = 0;
    double time = 0; // seconds since the run began
    int fd = -1;
    int fd2 = -1;
    long long bytes = 0;
    long long total = 0;
    long count = 1; // identical calls folded into this step
    double seconds = 0;
    int other = 0;
    std::optional<size_t> channel; // index into Run::channels()
    std::string data; // the first bytes moved, raw
    std::string text;
    std::string error;
};

struct Arrow {
    enum class Kind { fork, data, collect };
    Kind kind = Kind::fork;
    size_t from = 0; // step indices
    size_t to = 0;
    long long bytes = 0;
    std::optional<size_t> channel;
};

struct Process {
    int pid = 0;
    int parent = 0; // 0 when it was not started inside the trace
    std::string program; // what it runs now (base name)
    std::vector<std::pair<size_t, std::string>> programs; // from step index on, the name
    bool child = false; // made by fork inside the trace
    std::optional<double> ended;
    std::optional<size_t> end_step;
    std::optional<double> collected;
    std::optional<size_t> collect_step;
    // Set after exec of a system program (ls, ps): its own calls are
    // counted, not shown.
    bool hidden = false;
    long hidden_calls = 0;
    long last_ppid = -1;
    std::map<int, std::string> ends; // fd -> "read end" / "write end" of a pipe or FIFO
    std::optional<size_t> fold; // the step that an identical next call joins
    bool started = false; // has run an exec of its own
};

class Run {
public:
    // `is_fifo(path)`: whether a path is a FIFO, for the channels whose
    // kind the trace does not tell.
    explicit Run(std::function<bool(const std::string&)> is_fifo = nullptr);

    void add(const Event& event);
    // The end of the trace: zombies never collected, processes still
    // running, system programs' hidden calls.
    void finish();

    const std::vector<Step>& steps() const { return steps_; }
    const std::vector<Arrow>& arrows() const { return arrows_; }
    const std::deque<Channel>& channels() const { return channels_; }
    // In the order they appeared.
    const std::vector<Process>& processes() const { return processes_; }
    const Process* process(int pid) const;
    double duration() const { return last_time_ - start_time_.value_or(last_time_); }
    // How many bytes of a step's data are kept.
    static constexpr size_t kDataKept = 48;

private:
    Process& process_for(int pid, double time);
    size_t add_step(Step step);
    // Folds `step` into the process's last step when it is the same call
    // again; returns the step's index either way.
    size_t fold_or_add(Step step);
    std::optional<size_t> channel_for(const std::string& target);
    std::optional<size_t> fifo_channel(const std::string& path);
    void call(Process& p, const Event& e, double t);
    void data_moved(size_t step, size_t channel, long long bytes, bool is_read);
    void end_process(Process& p, double t, std::string how, bool had_exit);

    std::function<bool(const std::string&)> is_fifo_;
    std::vector<Step> steps_;
    std::vector<Arrow> arrows_;
    std::deque<Channel> channels_;
    std::map<std::string, size_t> channel_by_target_;
    std::vector<Process> processes_;
    std::map<int, size_t> process_index_;
    int pipes_named_ = 0;
    std::optional<double> start_time_;
    double last_time_ = 0;
    // Bytes written into each pipe or FIFO and not read yet: (step, bytes).
    std::map<size_t, std::deque<std::pair<size_t, long long>>> unread_;
    // The last data arrow of each channel, which the next read of the same
    // write may grow.
    std::map<size_t, size_t> last_arrow_;
};

} // namespace timeline
