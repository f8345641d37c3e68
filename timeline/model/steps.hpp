// The steps of a run, in time order, and the arrows between them. A step
// stays live while a later call may still change it (an identical read
// folds into it, a vfork's parent learns what its child became); then it
// is handed over, once. Only the first steps that the views need are kept,
// so that memory does not grow with the trace.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "model/channels.hpp"
#include "model/processes.hpp"
#include "model/step.hpp"

namespace timeline {

struct Arrow {
    enum class Kind { fork, data, collect, signal };
    Kind kind = Kind::fork;
    size_t from = 0; // step indices
    size_t to = 0;
    long long bytes = 0; // data: how many went from one step to the other
    std::optional<size_t> channel; // data: through which pipe or FIFO
};

class Steps {
public:
    static constexpr size_t kKeepAll = SIZE_MAX;

    // `keep`: how many of the first steps, and the arrows between them,
    // stay for kept() and arrows().
    Steps(Channels& channels, Processes& processes, size_t keep);

    // The trace lines of the event being applied: each step it adds or
    // grows is made from them.
    void made_from(TraceLines lines) { from_ = lines; }
    // A later call, `next`, joined `step` (one more try, one more ask):
    // the step lasts until it ended, and is made from its lines too.
    void grew(Step& step, const Step& next) const
    {
        step.ended = std::max(step.ended, next.ended);
        if (from_.first != 0 && step.from.file == from_.file)
            step.from.last = std::max(step.from.last, from_.last);
    }

    // Adds a step; its index. A step that is not a call (a birth, a
    // signal's arrival) begins and ends at its time.
    size_t add(Step step);
    // Folds `step` into the process's last step when it is the same call
    // again (a read of as many bytes, on the same descriptor); its index
    // either way.
    size_t fold_or_add(Step step);
    // A step that can still change, or nothing once it has been handed over.
    Step* live(size_t index);
    // The process's last step, which an identical next call joins.
    Step* last_of(const Process& p) { return p.fold ? live(*p.fold) : nullptr; }
    // Keeps a step from being handed over while a later call may still
    // change it.
    void pin(size_t index) { pinned_.push_back(index); }
    void unpin(size_t index);

    void add_arrow(Arrow arrow);
    // Bytes from a write to the read that took them: the arrow between
    // them grows when the same read takes more of the same write.
    void carry(size_t write, size_t read, long long bytes, size_t channel);
    // A channel's place serves a new one: no arrow of the old grows.
    void forget(size_t channel);

    // Hands over every step that can change no more (all of them when
    // `all`), each with the arrows whose later end it is.
    using HandOver = std::function<void(size_t, const Step&, std::span<const Arrow>)>;
    void retire(bool all, const HandOver& hand_over);

    size_t count() const { return first_live_ + live_.size(); }
    size_t first_live() const { return first_live_; }
    size_t keep() const { return keep_; }
    const std::vector<Step>& kept() const { return kept_; }
    const std::vector<Arrow>& arrows() const { return arrows_; }

private:
    struct Live {
        Step step;
        std::vector<Arrow> arrows; // those whose later end this step is
    };
    Live* live_entry(size_t index);

    Channels& channels_;
    Processes& processes_;
    size_t keep_;
    std::vector<Step> kept_;
    std::deque<Live> live_; // the first is number first_live_
    size_t first_live_ = 0;
    std::vector<size_t> pinned_;
    std::vector<Arrow> arrows_;
    // The last kept data arrow of each channel, which the next read of the
    // same write may grow.
    std::map<size_t, size_t> last_data_;
    TraceLines from_;
};

} // namespace timeline
