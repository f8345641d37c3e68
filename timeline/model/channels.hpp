// What the traced processes' descriptors point at: pipes, FIFOs, sockets,
// the terminal, files. Each is a channel, found again by the name the
// kernel gives it in the trace ("pipe:[4480]", "/tmp/x/FIFOVEK"); a pipe
// closed everywhere is forgotten by that name, since the kernel may give
// it to a new one, and its place serves the next channel once nothing
// still to be told names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/event.hpp"

namespace timeline {

struct Channel {
    enum class Kind { pipe, fifo, socket, counter, terminal, file, other };
    // Whether bytes written into it come out at a read: a pipe, a FIFO, a
    // socket, an eventfd's counter.
    bool carries_data() const
    {
        return kind == Kind::pipe || kind == Kind::fifo || kind == Kind::socket ||
               kind == Kind::counter;
    }
    // A pipe the run did not make (the shell's, to a command outside the
    // trace): what is written into it goes out of sight.
    bool received_outside() const { return kind == Kind::pipe && !created_here; }
    Kind kind = Kind::other;
    std::string path; // a file's or a FIFO's, absolute or as the process named it
    std::string target; // the kernel's name for what has no path ("pipe:[4480]")
    // Its place among the channels of its kind that this run made, from 1
    // (the run's first pipe, its first socket); 0 for one it did not make
    // (a pipe from outside).
    int number = 0;
    bool pair = false; // a socket pair: two connected ends
    bool working_folder = false; // the folder the process runs in, opened as "."
    bool created_here = false; // a pipe made by pipe(), a FIFO by mkfifo, in this run
    int read_fd = -1; // a pipe's descriptors as pipe() returned them,
    int write_fd = -1; // which a forked child inherits
    int holders = 0; // descriptors on it in the traced processes' tables
    size_t first_step = SIZE_MAX; // the steps that name it
    size_t last_step = 0;
};

// What the kernel calls a channel it made without a file:
// "anon_inode:[eventfd]" is "eventfd"; any other name as it is.
std::string_view anon_name(std::string_view target);

class Channels {
public:
    // `is_fifo(path)`: whether a path is a FIFO, for the channels whose
    // kind the trace does not tell.
    explicit Channels(std::function<bool(const std::string&)> is_fifo);

    // The channel a descriptor's target is, found or made; nothing for a
    // target the trace does not tell. `otherwise`: the channel a target
    // seen for the first time joins, instead of one of its own.
    std::optional<size_t> of(const Target& target, std::optional<size_t> otherwise = std::nullopt);
    // The channel of a path that is a FIFO.
    std::optional<size_t> fifo(const std::string& path);
    // The channel a target names already, if any.
    std::optional<size_t> find(const std::string& target) const;
    // A second name of a channel: a socket pair's other end.
    void also_named(const std::string& target, size_t channel);

    // Pipes and socket pairs are numbered in the order the run made them.
    void number_pipe(size_t channel);
    void number_socket_pair(size_t channel);
    // A program started again: its channels are numbered afresh.
    void begin_run();

    // A step names the channel.
    void mentioned(size_t channel, size_t step);
    // A descriptor took it, or let it go: a pipe that no descriptor holds
    // any more is forgotten by its name.
    void held(size_t channel);
    void let_go(size_t channel);
    // The FIFOs that no traced process holds open any more since the last
    // call: the kernel drops the bytes left in a FIFO as its last opener
    // closes it.
    std::vector<size_t> take_emptied() { return std::exchange(emptied_, {}); }
    // The places of forgotten pipes that no step still to be told names
    // (steps from `first_live` on), none named by the `kept` first steps:
    // each is freed (`freed(place)`) and serves a new channel.
    void recycle(size_t kept, size_t first_live, const std::function<void(size_t)>& freed);

    // Sockets bound to an address, and those that connected to one and
    // wait to be accepted: an accepted end that strace names alone (its
    // client gone already) is the oldest of those waiting.
    void bound(size_t channel, const std::string& address);
    void connecting(const std::string& address, size_t channel);
    // The clients waiting on the address a listening socket is bound to.
    std::deque<size_t>* waiting_on(size_t listening);

    Channel& operator[](size_t c) { return channels_[c]; }
    const Channel& operator[](size_t c) const { return channels_[c]; }
    const std::deque<Channel>& all() const { return channels_; }

private:
    Channel made(const Target& target, bool terminal, bool socket);
    size_t place_for(Channel channel);

    std::function<bool(const std::string&)> is_fifo_;
    std::deque<Channel> channels_;
    std::map<std::string, size_t> by_target_;
    // Pipes that no descriptor holds any more, oldest first, and the places
    // free for new channels.
    std::deque<size_t> closed_;
    std::vector<size_t> emptied_;
    std::vector<size_t> free_;
    std::map<size_t, std::string> bound_;
    std::map<std::string, std::deque<size_t>> connecting_;
    int pipes_numbered_ = 0;
    int socket_pairs_numbered_ = 0;
    int sockets_numbered_ = 0;
};

} // namespace timeline
