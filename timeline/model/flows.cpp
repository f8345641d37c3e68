#include "model/flows.hpp"

#include <algorithm>
#include <climits>
#include <optional>
#include <utility>

namespace timeline {

int Flows::moved(size_t step, int pid, size_t channel, long long bytes, bool is_read,
                 std::string_view data, long long side)
{
    long long who = side != 0 ? side : pid;
    // A terminal, a file, or a pipe whose reader is outside the trace
    // receives what is written: what it holds is not for the trace to say.
    const Channel& c = channels_[channel];
    if (!c.carries_data() || c.received_outside()) {
        if (!is_read && keep_bytes_ && bytes > 0) {
            Received& got = received_[channel];
            got.count += bytes;
            got.bytes.append(
                data.substr(0, kReceivedKept - std::min(kReceivedKept, got.bytes.size())));
        }
        if (!c.carries_data())
            return 0;
    }
    if (!is_read) {
        wrote(step, who, channel, bytes, data);
        return 0;
    }
    return took(step, who, channel, bytes);
}

void Flows::wrote(size_t step, long long who, size_t channel, long long bytes,
                  std::string_view data)
{
    auto& queue = unread_[channel];
    if (!queue.empty() && queue.back().step == step) {
        queue.back().bytes = bytes > 0 && queue.back().bytes > LLONG_MAX - bytes
                                 ? LLONG_MAX
                                 : queue.back().bytes + bytes;
        if (keep_bytes_ && queue.back().data.size() < kDataKept)
            queue.back().data.append(data.substr(0, kDataKept - queue.back().data.size()));
    } else {
        const Step* write = steps_.live(step);
        const auto* transfer = write ? write->as<step::Transfer>() : nullptr;
        // What a write that waits for room put in at once: only such a
        // write needs the count (a sum over the queue, which a trace of a
        // million writes nobody reads keeps long).
        bool full = transfer && transfer->full;
        long long there = 0;
        if (full)
            for (const Unread& u : queue)
                there += u.bytes;
        queue.push_back({.step = step,
                         .writer = who,
                         .bytes = bytes,
                         .data = keep_bytes_ ? std::string(data) : std::string(),
                         .began = write ? write->began : 0,
                         .full = full,
                         .written = bytes,
                         .at_once = std::max(0LL, capacity(channel) - there),
                         .passes = transfer ? int(transfer->passed.size()) : 0});
    }
    // A reader outside the trace never takes them: keep the memory bounded.
    if (queue.size() > 4096) {
        queue.pop_front();
        uncounted_.insert(channel);
    }
}

int Flows::took(size_t step, long long who, size_t channel, long long bytes)
{
    // A socket carries bytes both ways: what a side reads is what the
    // other side wrote, never its own.
    auto& queue = unread_[channel];
    bool both_ways = channels_[channel].kind == Channel::Kind::socket;
    int reached = 0;
    for (auto next = queue.begin(); bytes > 0 && next != queue.end();) {
        if (both_ways && next->writer == who) {
            ++next;
            continue;
        }
        long long taken = std::min(bytes, next->bytes);
        steps_.carry(next->step, step, taken, channel);
        reached += std::exchange(next->passes, 0);
        next->bytes -= taken;
        next->taken = std::min(next->data.size(), next->taken + size_t(taken));
        bytes -= taken;
        if (next->bytes == 0)
            next = queue.erase(next);
    }
    return reached;
}

void Flows::sent(size_t step, int sender, Target target, const std::string& signal)
{
    if (target.pid > 0) {
        sent_[target.pid].push_back({step, sender, signal, target});
        return;
    }
    constexpr size_t kRemembered = 64;
    sent_to_many_.push_back({step, sender, signal, target});
    if (sent_to_many_.size() > kRemembered)
        sent_to_many_.pop_front();
}

void Flows::arrived(size_t step, const Process& receiver, const Signal& signal)
{
    // The sender is known for a signal delivered, not for a death by one.
    auto from = [&](const Sent& k) {
        return (signal.sender == 0 || k.sender == signal.sender) && k.signal == signal.name;
    };
    if (auto sent = sent_.find(receiver.pid); sent != sent_.end()) {
        auto& kills = sent->second;
        if (auto kill = std::find_if(kills.begin(), kills.end(), from); kill != kills.end()) {
            steps_.add_arrow({Arrow::Kind::signal, kill->step, step, 0, std::nullopt});
            kills.erase(kill);
            return;
        }
    }
    // Sent to many: each member that receives it gets an arrow, once (a
    // death by the signal follows its delivery).
    for (auto it = sent_to_many_.rbegin(); it != sent_to_many_.rend(); ++it) {
        bool member =
            it->target.everyone || (it->target.by_group && it->target.group == receiver.group);
        if (!from(*it) || it->sender == receiver.pid || !member)
            continue;
        if (std::find(it->reached.begin(), it->reached.end(), receiver.pid) == it->reached.end()) {
            steps_.add_arrow({Arrow::Kind::signal, it->step, step, 0, std::nullopt});
            it->reached.push_back(receiver.pid);
        }
        return;
    }
}

void Flows::unwrite(size_t step, long long bytes)
{
    for (auto& [channel, queue] : unread_)
        if (!queue.empty() && queue.back().step == step) {
            queue.back().bytes -= std::min(bytes, queue.back().bytes);
            if (queue.back().bytes == 0)
                queue.pop_back();
            return;
        }
}

void Flows::filling(size_t step, bool still)
{
    if (still)
        filling_.insert(step);
    else if (filling_.erase(step))
        ended_.insert(step);
}

Flows::InFlight Flows::in_flight(size_t channel) const
{
    constexpr size_t kShown = 64;
    InFlight now;
    auto it = unread_.find(channel);
    if (it == unread_.end())
        return now;
    for (const Unread& u : it->second) {
        now.count += u.bytes;
        now.exact = now.exact && !filling_.contains(u.step) && !ended_.contains(u.step);
        std::string_view left = std::string_view(u.data).substr(u.taken);
        now.whole = now.whole && left.size() == size_t(u.bytes);
        if (now.bytes.size() < kShown)
            now.bytes.append(left.substr(0, kShown - now.bytes.size()));
    }
    now.whole = now.whole && now.bytes.size() == size_t(now.count);
    return now;
}

const Flows::Received* Flows::received(size_t channel) const
{
    auto it = received_.find(channel);
    return it == received_.end() ? nullptr : &it->second;
}

std::optional<double> Flows::oldest_unread_began(size_t channel, int reader, long long side) const
{
    long long who = side != 0 ? side : reader;
    auto it = unread_.find(channel);
    if (it == unread_.end() || uncounted_.contains(channel))
        return std::nullopt;
    bool both_ways = channels_[channel].kind == Channel::Kind::socket;
    for (const Unread& u : it->second)
        if (u.bytes > 0 && !(both_ways && u.writer == who))
            return u.full && u.written - u.bytes >= u.at_once ? std::nullopt
                                                              : std::optional(u.began);
    return std::nullopt;
}

long long Flows::capacity(size_t channel) const
{
    auto it = capacity_.find(channel);
    return it == capacity_.end() ? kPipeHolds : it->second;
}

std::optional<long long> Flows::unread(size_t channel) const
{
    if (uncounted_.count(channel) || channels_[channel].kind == Channel::Kind::socket)
        return std::nullopt;
    auto it = unread_.find(channel);
    long long bytes = 0;
    if (it != unread_.end())
        for (const Unread& u : it->second)
            bytes += u.bytes;
    return bytes;
}

void Flows::forget(size_t channel)
{
    unread_.erase(channel);
    uncounted_.erase(channel);
    capacity_.erase(channel);
    received_.erase(channel);
    steps_.forget(channel);
}

} // namespace timeline
