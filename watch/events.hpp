// The kernel's process events (the proc connector, netlink CN_PROC): a
// fork, an exec, an exit, as they happen, so that the screen changes at
// once. Listening needs CAP_NET_ADMIN; without it the watcher polls.
#pragma once

#include <string>
#include <vector>

namespace family {

class ProcEvents {
public:
    ProcEvents();
    ~ProcEvents();
    ProcEvents(const ProcEvents&) = delete;
    ProcEvents& operator=(const ProcEvents&) = delete;

    bool listening() const { return fd_ != -1; }
    int fd() const { return fd_; }
    // Why not, when not listening.
    const std::string& refused() const { return refused_; }
    // What came since the last drain: the processes its forks, execs and
    // exits concern (a fork: the parent and the child; an exec, an exit:
    // the process), by process id. Every process of the machine is told
    // of, so the caller looks for its own among them.
    struct Concerned {
        std::vector<int> pids;
        bool lost = false; // the kernel dropped some: any may have changed
    };
    Concerned drain();
    // Asks the kernel to tell only of these processes' forks, execs and
    // exits (a fork by its parent), so that the rest of the machine does
    // not wake the watcher at all. Up to kMostFiltered of them; for more,
    // or where the filter is refused, it tells of every process again.
    void only(const std::vector<int>& pids);
    static constexpr size_t kMostFiltered = 500;

private:
    int fd_ = -1;
    std::string refused_;
    std::vector<int> filtered_; // the processes last asked for
};

} // namespace family
