// What /proc tells of one process, read without touching it: nothing is
// traced, no descriptor of its is held, it is never stopped or slowed.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace family {

struct FdEntry {
    int fd = -1;
    std::string target; // the link: "pipe:[83335]", "/dev/pts/3", "/tmp/x/FIFOVEK"
    unsigned flags = 0; // fdinfo's, octal there: O_ACCMODE, O_NONBLOCK...
    bool fifo = false; // the target is a FIFO
};

struct ProcInfo {
    int pid = 0;
    int ppid = 0;
    char state = '?'; // R, S, D, Z, T, t...
    std::string comm;
    std::string exe; // what it runs: /proc/PID/exe
    std::string wchan; // the kernel function it sleeps in
    // The call it is in, when it sleeps in one (/proc/PID/syscall), and
    // its arguments; -1 while it runs, or when it may not be told.
    long syscall = -1;
    std::array<unsigned long, 6> args{};
    std::vector<FdEntry> fds;
    bool fds_readable = true;
    unsigned long long start = 0; // clock ticks after boot, from stat
    int threads = 1;
    // How often it was switched out: unchanged, a sleeping process has not
    // run since, so nothing but its parent can have changed.
    unsigned long long switches = 0;
    std::vector<int> children;
};

// Nothing when the process is gone; `error` says why when it could not be
// read (another user's). `known`: what was read of it before, kept when it
// has not run since (a large family that sleeps reads fast).
std::optional<ProcInfo> read_process(int pid, int* error = nullptr,
                                     const ProcInfo* known = nullptr);
// Its children, of all its `threads`.
std::vector<int> children_of(int pid, int threads = 0);
// Bytes of its memory, read as a debugger would but without stopping it:
// a path an open waits on, the time a sleep asked for.
std::optional<std::string> read_string(int pid, unsigned long address, size_t most = 256);
template <class T> std::optional<T> read_value(int pid, unsigned long address);
bool read_memory(int pid, unsigned long address, void* into, size_t size);

template <class T> std::optional<T> read_value(int pid, unsigned long address)
{
    T value{};
    if (!read_memory(pid, address, &value, sizeof value))
        return std::nullopt;
    return value;
}

} // namespace family
