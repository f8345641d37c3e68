// What goes from one process to another: the bytes written into a pipe,
// FIFO or socket and not read yet, followed to the read that takes them,
// and the signals sent and not yet seen arriving. Each makes an arrow.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "model/channels.hpp"
#include "model/processes.hpp"
#include "model/steps.hpp"

namespace timeline {

class Flows {
public:
    Flows(Steps& steps, Channels& channels) : steps_(steps), channels_(channels) {}

    // Bytes a step wrote into a channel or read from it: a read takes the
    // oldest bytes not read yet, and an arrow goes from each write it took
    // them from (a socket's: from the other end's writes).
    // A read returns how many descriptors passed with the bytes it took
    // (SCM_RIGHTS) it reached: it takes them, or, with no room for them,
    // the kernel closes them.
    // `side`: a socket's end, where the trace tells it (else the process):
    // what a side reads is what the other side wrote, never its own.
    int moved(size_t step, int pid, size_t channel, long long bytes, bool is_read,
              std::string_view data = {}, long long side = 0);
    // The bytes themselves are kept too (the first of each write, and what
    // a terminal or a file received), for the views that show them.
    void keep_bytes() { keep_bytes_ = true; }
    // What is in a pipe, FIFO or socket now: written, not read yet.
    struct InFlight {
        long long count = 0;
        std::string bytes; // the first of them, where the trace told them
        bool whole = true; // `bytes` are all of them
        // A write that waits for room is still putting its bytes in: how
        // many are in the pipe already is the kernel's to say, and `count`
        // is only as many as it may hold.
        bool exact = true;
    };
    InFlight in_flight(size_t channel) const;
    // What a terminal or a file has received so far, and how many bytes.
    struct Received {
        long long count = 0;
        std::string bytes; // the first kReceivedKept
    };
    static constexpr size_t kReceivedKept = 4096;
    const Received* received(size_t channel) const;
    const std::map<size_t, Received>& all_received() const { return received_; }
    // Whom a signal was sent to: a process, a process group, or every
    // process the sender may signal.
    struct Target {
        int pid = 0; // one process
        bool by_group = false; // or the group `group` (0: as the traced program started)
        int group = 0;
        bool everyone = false; // or all
    };
    // A signal a traced process sent; its arrival draws an arrow, or, sent
    // to a group, each member's arrival.
    void sent(size_t step, int sender, Target target, const std::string& signal);
    void arrived(size_t step, const Process& receiver, const Signal& signal);
    // A channel's place serves a new one.
    void forget(size_t channel);
    // A FIFO closed by all: what was left unread in it is gone.
    void drop_unread(size_t channel) { unread_.erase(channel); }
    // How many bytes were written into a pipe or FIFO and not read yet;
    // nothing when the count is not known (a call the tool does not
    // decode moved bytes, too many writes wait for a reader).
    std::optional<long long> unread(size_t channel) const;
    // When the oldest write that `reader` can read from the channel began
    // (seconds since the run began): nothing when none waits, or when what
    // is left of it went in only as readers made room (it filled the pipe,
    // and the bytes that were in at once have been read).
    std::optional<double> oldest_unread_began(size_t channel, int reader, long long side = 0) const;
    // How many bytes a pipe or FIFO holds: 16 pages, unless F_SETPIPE_SZ
    // changed it.
    static constexpr long long kPipeHolds = 65536;
    long long capacity(size_t channel) const;
    void set_capacity(size_t channel, long long bytes) { capacity_[channel] = bytes; }
    void uncount(size_t channel) { uncounted_.insert(channel); }
    // A write's bytes that never went in after all (it failed as it ended).
    void unwrite(size_t step, long long bytes);
    // A write told as it began waits for room in the pipe until it ends:
    // until then, part of its bytes may still be in the writer. Its end
    // makes no step: the step before it still says "up to", and the next
    // step (settle) knows the count.
    void filling(size_t step, bool still);
    void settle() { ended_.clear(); }

private:
    // A write's bytes into the channel's queue; a read's taken from it
    // (how many passed descriptors it reached).
    void wrote(size_t step, long long who, size_t channel, long long bytes, std::string_view data);
    int took(size_t step, long long who, size_t channel, long long bytes);

    struct Unread {
        size_t step; // the write
        long long writer; // its process, or its socket's end
        long long bytes; // not read yet
        std::string data; // the bytes written, as far as kept
        size_t taken = 0; // how many of `data` were read
        double began = 0; // when the write began
        bool full = false; // it waited for room
        long long written = 0; // all its bytes
        long long at_once = 0; // of those, what went in as it began (the room there was)
        int passes = 0; // descriptors passed with its bytes, not reached by a read yet
    };
    struct Sent {
        size_t step; // the kill
        int sender;
        std::string signal;
        Target target;
        std::vector<int> reached; // sent to many: who has an arrow already
    };

    Steps& steps_;
    Channels& channels_;
    std::map<size_t, std::deque<Unread>> unread_; // by channel
    std::map<int, std::vector<Sent>> sent_; // to one process, by its pid
    std::deque<Sent> sent_to_many_; // to a group, or to all: the last few
    std::set<size_t> uncounted_;
    std::set<size_t> filling_; // writes waiting for room, not ended yet
    std::set<size_t> ended_; // ended since the last step
    std::map<size_t, Received> received_; // by channel: terminals and files
    std::map<size_t, long long> capacity_; // pipes made to hold another size
    bool keep_bytes_ = false;
};

} // namespace timeline
