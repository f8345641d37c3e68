// What each system call does to the model, one short handler per call,
// grouped by family, each family in a file of its own. calls.cpp holds
// the table from a call's name to its handler: adding a call is one
// handler and one row there (and, for a call whose arguments the reader
// does not decode yet, one decoder in the reader's table).
#pragma once

#include <string_view>

#include "run.hpp"

namespace timeline {

// Whether a file is one that the loader, the locale or the time zone
// reads: never part of a lesson.
bool hidden_path(std::string_view path);

// "/usr/bin/ps" -> "ps"
std::string base_name(const std::string& path);

struct Calls {
    // Finds the call's handler and runs it. `t`: seconds since the run began.
    static void dispatch(Run& run, Process& p, const Call& c, double t);
    static bool joins_traced_processes(const Run& run, const Call& c);

    // Every handler gets the step made so far (pid, time, error, and the
    // channel of the call's descriptor) and adds what the call did.

    // Process life: process_calls.cpp.
    static void exec(Run& run, Process& p, const Call& c, const call::Exec& a, Step s);
    static void spawn(Run& run, Process& p, const Call& c, const call::Spawn& a, Step s);
    static void start_thread(Run& run, Process& p, int tid, Step s);
    static void exit(Run& run, Process& p, const Call& c, const call::Exit& a, Step s);
    static void wait(Run& run, Process& p, const Call& c, const call::Wait& a, Step s);
    static void collect(Run& run, const Call& c, const call::Wait& a, Step s);
    static void getpid(Run& run, Process& p, const Call& c, Step s);
    static void getppid(Run& run, Process& p, const Call& c, Step s);
    static void kill(Run& run, Process& p, const Call& c, const call::Kill& a, Step s);

    // Descriptors: descriptor_calls.cpp.
    static void pipe(Run& run, Process& p, const Call& c, const call::FdPair& a, Step s);
    static void socketpair(Run& run, Process& p, const Call& c, const call::FdPair& a, Step s);
    static void make_fifo(Run& run, Process& p, const Call& c, const call::MakeFifo& a, Step s);
    static void open(Run& run, Process& p, const Call& c, const call::Open& a, Step s);
    static void close(Run& run, Process& p, const Call& c, const call::Close& a, Step s);
    static void dup(Run& run, Process& p, const Call& c, const call::Dup& a, Step s);
    static void stat(Run& run, Process& p, const Call& c, const call::Stat& a, Step s);
    static void lock(Run& run, Process& p, const Call& c, Step s);
    static void add_and_note(Run& run, Process& p, Step s, PlumbingChange change);
    static void new_fd(Run& run, Process& p, const Call& c, const call::NewFd& a, Step s);
    static void socket_address(Run& run, Process& p, const Call& c, const call::SocketAddress& a,
                               Step s);

    // Data: data_calls.cpp.
    static void transfer(Run& run, Process& p, const Call& c, const call::Transfer& a, Step s);
    static void ioctl(Run& run, Process& p, const Call& c, Step s);

    // Time: time_calls.cpp.
    static void sleep(Run& run, Process& p, const Call& c, const call::Sleep& a, Step s);
    static void sleep_goes_on(Run& run, Process& p, const Call& c, Step s);

    // Any other call, or one whose arguments could not be decoded: shown
    // as written.
    static void as_written(Run& run, Process& p, const Call& c, Step s);
    static void hidden_child(Run& run, Process& p, int pid);
    // Housekeeping of the loader and the C library: never a step.
    static void ignore(Run& run, Process& p, const Call& c, Step s);
};

} // namespace timeline
