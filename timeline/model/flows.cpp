#include "model/flows.hpp"

#include <algorithm>
#include <climits>

namespace timeline {

void Flows::moved(size_t step, int pid, size_t channel, long long bytes, bool is_read)
{
    if (!channels_[channel].carries_data())
        return;
    auto& queue = unread_[channel];
    if (!is_read) {
        if (!queue.empty() && queue.back().step == step)
            queue.back().bytes = bytes > 0 && queue.back().bytes > LLONG_MAX - bytes
                                     ? LLONG_MAX
                                     : queue.back().bytes + bytes;
        else
            queue.push_back({step, pid, bytes});
        // A reader outside the trace never takes them: keep the memory bounded.
        if (queue.size() > 4096)
            queue.pop_front();
        return;
    }
    // A socket carries bytes both ways: what a process reads is what the
    // other end wrote, never its own.
    bool both_ways = channels_[channel].kind == Channel::Kind::socket;
    for (auto next = queue.begin(); bytes > 0 && next != queue.end();) {
        if (both_ways && next->writer == pid) {
            ++next;
            continue;
        }
        long long taken = std::min(bytes, next->bytes);
        steps_.carry(next->step, step, taken, channel);
        next->bytes -= taken;
        bytes -= taken;
        if (next->bytes == 0)
            next = queue.erase(next);
    }
}

void Flows::sent(size_t step, int sender, int target, const std::string& signal)
{
    sent_[target].push_back({step, sender, signal});
}

void Flows::arrived(size_t step, int pid, const Signal& signal)
{
    auto sent = sent_.find(pid);
    if (sent == sent_.end())
        return;
    auto& kills = sent->second;
    // The sender is known for a signal delivered, not for a death by one.
    auto kill = std::find_if(kills.begin(), kills.end(), [&](const Sent& k) {
        return (signal.sender == 0 || k.sender == signal.sender) && k.signal == signal.name;
    });
    if (kill == kills.end())
        return;
    steps_.add_arrow({Arrow::Kind::signal, kill->step, step, 0, std::nullopt});
    kills.erase(kill);
}

void Flows::forget(size_t channel)
{
    unread_.erase(channel);
    steps_.forget(channel);
}

} // namespace timeline
