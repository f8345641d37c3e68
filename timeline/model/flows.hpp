// What goes from one process to another: the bytes written into a pipe,
// FIFO or socket and not read yet, followed to the read that takes them,
// and the signals sent and not yet seen arriving. Each makes an arrow.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "model/channels.hpp"
#include "model/steps.hpp"

namespace timeline {

class Flows {
public:
    Flows(Steps& steps, Channels& channels) : steps_(steps), channels_(channels) {}

    // Bytes a step wrote into a channel or read from it: a read takes the
    // oldest bytes not read yet, and an arrow goes from each write it took
    // them from (a socket's: from the other end's writes).
    void moved(size_t step, int pid, size_t channel, long long bytes, bool is_read);
    // A signal a traced process sent; its arrival draws an arrow.
    void sent(size_t step, int sender, int target, const std::string& signal);
    void arrived(size_t step, int pid, const Signal& signal);
    // A channel's place serves a new one.
    void forget(size_t channel);

private:
    struct Unread {
        size_t step; // the write
        int writer; // its process
        long long bytes;
    };
    struct Sent {
        size_t step; // the kill
        int sender;
        std::string signal;
    };

    Steps& steps_;
    Channels& channels_;
    std::map<size_t, std::deque<Unread>> unread_; // by channel
    std::map<int, std::vector<Sent>> sent_; // by target
};

} // namespace timeline
