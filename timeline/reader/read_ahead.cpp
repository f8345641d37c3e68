#include "reader/read_ahead.hpp"

#include <system_error>

namespace timeline {
namespace {

constexpr size_t kBatch = 1024;
constexpr size_t kBatchesAhead = 8;

} // namespace

ReadAhead::ReadAhead(MergedTraces& traces) : traces_(traces)
{
    try {
        thread_ = std::thread([this] { read(); });
    } catch (const std::system_error&) {
        // No thread to be had (a limit on processes or memory): the
        // caller reads, more slowly.
    }
}

ReadAhead::~ReadAhead()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ReadAhead::read()
{
    std::vector<Event> batch;
    try {
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                // The batch given back longest ago, once a few have come
                // back: memory the caller's core read just now would have
                // to be fetched back from it, line by line, before it can
                // be written again (that cost more than a third of the
                // time); memory it read long ago has left its cache.
                if (spare_.size() >= 2 * kBatchesAhead) {
                    batch = std::move(spare_.front());
                    spare_.pop_front();
                }
            }
            batch.clear();
            batch.reserve(kBatch);
            while (batch.size() < kBatch) {
                if (!traces_.next(batch.emplace_back())) {
                    batch.pop_back();
                    break;
                }
            }
            bool last = batch.size() < kBatch;
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || ready_.size() < kBatchesAhead; });
            if (stop_)
                return;
            if (!batch.empty())
                ready_.push_back(std::move(batch));
            batch.clear();
            done_ = last;
            lock.unlock();
            changed_.notify_all();
            if (last)
                return;
        }
    } catch (...) {
        std::lock_guard lock(mutex_);
        error_ = std::current_exception();
        done_ = true;
    }
    changed_.notify_all();
}

const Event* ReadAhead::next()
{
    if (!thread_.joinable()) {
        event_ = traces_.next();
        return event_ ? &*event_ : nullptr;
    }
    if (taken_ == batch_.size()) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return done_ || !ready_.empty(); });
        if (ready_.empty()) {
            if (error_)
                std::rethrow_exception(std::exchange(error_, nullptr));
            return nullptr;
        }
        if (batch_.capacity() != 0)
            spare_.push_back(std::move(batch_));
        batch_ = std::move(ready_.front());
        ready_.pop_front();
        taken_ = 0;
        lock.unlock();
        changed_.notify_all();
    }
    return &batch_[taken_++];
}

} // namespace timeline
