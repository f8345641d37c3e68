#include "model/steps.hpp"

#include <algorithm>
#include <climits>
#include <utility>

namespace timeline {
namespace {

long long saturating_add(long long a, long long b)
{
    return b > 0 && a > LLONG_MAX - b ? LLONG_MAX : a + b;
}

// Joins `next` into `last` when it is the same call again.
bool fold_into(Step& last, const Step& next)
{
    if (last.channel != next.channel || last.error != next.error)
        return false;
    if (auto* a = last.as<step::Transfer>()) {
        const auto* b = next.as<step::Transfer>();
        if (!b || a->is_read != b->is_read || a->fd != b->fd || a->bytes != b->bytes ||
            a->call != b->call || a->full != b->full || !a->passed.empty() || !b->passed.empty())
            return false;
        ++a->count;
        a->total = saturating_add(a->total, b->total);
        a->waited += b->waited;
        a->ready = a->ready && b->ready;
        if (a->data.size() < kDataKept)
            a->data += b->data.substr(0, kDataKept - a->data.size());
    } else if (auto* e = last.as<step::EndOfData>()) {
        const auto* b = next.as<step::EndOfData>();
        if (!b || e->fd != b->fd)
            return false;
        ++e->count;
        e->waited += b->waited;
    } else {
        return false;
    }
    last.ended = std::max(last.ended, next.ended);
    return true;
}

// The kinds of step that a later call folds into.
bool can_grow(const Step& s)
{
    return s.is<step::Transfer>() || s.is<step::EndOfData>() || s.is<step::ExecFailed>() ||
           s.is<step::WaitPoll>() || s.is<step::UnreadWait>();
}

// How many steps may wait for a later call to fold into them before the
// oldest is handed over as it is: a process that stays silent while others
// make thousands of steps must not hold them all in memory.
constexpr size_t kLiveSteps = 4096;

} // namespace

Steps::Steps(Channels& channels, Processes& processes, size_t keep)
    : channels_(channels), processes_(processes), keep_(keep)
{
}

Steps::Live* Steps::live_entry(size_t index)
{
    return index >= first_live_ && index - first_live_ < live_.size() ? &live_[index - first_live_]
                                                                      : nullptr;
}

Step* Steps::live(size_t index)
{
    Live* entry = live_entry(index);
    return entry ? &entry->step : nullptr;
}

void Steps::unpin(size_t index)
{
    auto it = std::find(pinned_.begin(), pinned_.end(), index);
    if (it != pinned_.end())
        pinned_.erase(it);
}

size_t Steps::add(Step step)
{
    size_t index = count();
    if (step.from.first == 0)
        step.from = from_;
    step.made = from_.last;
    if (step.channel)
        channels_.mentioned(*step.channel, index);
    if (step.began < 0)
        step.began = step.ended = step.time;
    processes_.known(step.pid).fold = index;
    live_.push_back({std::move(step), {}});
    return index;
}

size_t Steps::fold_or_add(Step step)
{
    Process& p = processes_.known(step.pid);
    Step* last = last_of(p);
    if (last && fold_into(*last, step)) {
        grew(*last, step);
        last->made = std::max(last->made, from_.last); // what the world shows is after them all
        return *p.fold;
    }
    return add(std::move(step));
}

void Steps::add_arrow(Arrow arrow)
{
    if (Live* later = live_entry(std::max(arrow.from, arrow.to)))
        later->arrows.push_back(arrow);
    if (arrow.from < keep_ && arrow.to < keep_)
        arrows_.push_back(arrow);
}

void Steps::carry(size_t write, size_t read, long long bytes, size_t channel)
{
    if (Live* later = live_entry(std::max(write, read))) {
        auto& arrows = later->arrows;
        if (!arrows.empty() && arrows.back().kind == Arrow::Kind::data &&
            arrows.back().from == write && arrows.back().channel == channel)
            arrows.back().bytes = saturating_add(arrows.back().bytes, bytes);
        else
            arrows.push_back({Arrow::Kind::data, write, read, bytes, channel});
    }
    auto last = last_data_.find(channel);
    if (last != last_data_.end() && arrows_[last->second].from == write &&
        arrows_[last->second].to == read) {
        arrows_[last->second].bytes = saturating_add(arrows_[last->second].bytes, bytes);
    } else if (write < keep_ && read < keep_) {
        arrows_.push_back({Arrow::Kind::data, write, read, bytes, channel});
        last_data_[channel] = arrows_.size() - 1;
    }
}

void Steps::forget(size_t channel)
{
    last_data_.erase(channel);
}

void Steps::retire(bool all, const HandOver& hand_over)
{
    while (!live_.empty()) {
        Live& front = live_.front();
        Process& p = processes_.known(front.step.pid);
        bool grows = p.fold == first_live_ && can_grow(front.step);
        bool pinned =
            grows || std::find(pinned_.begin(), pinned_.end(), first_live_) != pinned_.end();
        if (pinned && !all && live_.size() <= kLiveSteps)
            return;
        if (p.fold == first_live_)
            p.fold.reset();
        unpin(first_live_);
        hand_over(first_live_, front.step, front.arrows);
        if (first_live_ < keep_)
            kept_.push_back(std::move(front.step));
        live_.pop_front();
        ++first_live_;
    }
}

} // namespace timeline
