// The kernel's process events (the proc connector, netlink CN_PROC): a
// fork, an exec, an exit, as they happen, so that the screen changes at
// once. Listening needs CAP_NET_ADMIN; without it the watcher polls.
#pragma once

#include <string>

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
    // Reads what has come; whether a fork, an exec or an exit was among it.
    bool drain();

private:
    int fd_ = -1;
    std::string refused_;
};

} // namespace family
