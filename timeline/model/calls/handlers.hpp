// What each system call does to the model: one short handler per call,
// in a namespace and a file for each family of calls. The table of calls
// (reader/calls.def) names each call's handler and family; table.cpp reads
// it and runs the handler.
#pragma once

#include <string_view>

#include "model/state.hpp"

namespace timeline::handlers {

// Finds the call's handler and runs it. `s`: the call's step as made so
// far (pid, time, span, error).
void dispatch(State& m, Process& p, const Call& c, Step s);

// Whether a file is one that the loader, the locale or the time zone
// reads: never part of a lesson.
bool hidden_path(std::string_view path);

// Every handler gets the step made so far (pid, time, span, error, and
// the channel of the call's descriptor) and adds what the call did.

// Process life: life.cpp.
namespace life {
void exec(State& m, Process& p, const Call& c, const call::Exec& a, Step s);
void spawn(State& m, Process& p, const Call& c, const call::Spawn& a, Step s);
void exit(State& m, Process& p, const Call& c, const call::Exit& a, Step s);
void wait(State& m, Process& p, const Call& c, const call::Wait& a, Step s);
void getpid(State& m, Process& p, const Call& c, Step s);
void getppid(State& m, Process& p, const Call& c, Step s);
void setpgid(State& m, Process& p, const Call& c, const call::Numbers& a, Step s);
void setsid(State& m, Process& p, const Call& c, Step s);
void prctl(State& m, Process& p, const Call& c, const call::Numbers& a, Step s);
// A process whose parent ends goes to its adopter: the nearest subreaper
// among its ancestors the trace shows, or one outside the trace.
void adopt_orphans(State& m, const Process& ended, double t);
} // namespace life

// Signals sent: signals.cpp.
namespace signals {
void kill(State& m, Process& p, const Call& c, const call::Kill& a, Step s);
void disposition(State& m, Process& p, const Call& c, const call::SignalAction& a, Step s);
void mask(State& m, Process& p, const Call& c, const call::SignalMask& a, Step s);
void pause(State& m, Process& p, const Call& c, Step s);
} // namespace signals

// Descriptors: descriptors.cpp.
namespace descriptors {
void pipe(State& m, Process& p, const Call& c, const call::FdPair& a, Step s);
void make_fifo(State& m, Process& p, const Call& c, const call::MakeFifo& a, Step s);
void open(State& m, Process& p, const Call& c, const call::Open& a, Step s);
void close(State& m, Process& p, const Call& c, const call::Close& a, Step s);
void dup(State& m, Process& p, const Call& c, const call::Dup& a, Step s);
void lock(State& m, Process& p, const Call& c, Step s);
void stat(State& m, Process& p, const Call& c, const call::Stat& a, Step s);
void fcntl(State& m, Process& p, const Call& c, Step s); // call::Fcntl, or call::Dup for F_DUPFD
// What a system program's call does to its descriptor table, with no step:
// its pipe ends stay right for the processes the trace shows.
void track_quietly(State& m, Process& p, const Call& c);
// Adds the step; when it changed a pipe's, a FIFO's or a socket's
// plumbing, the tables are recorded for a figure.
void add_and_note(State& m, Process& p, Step s, PlumbingChange change);
} // namespace descriptors

// Sockets, socket pairs, eventfds: sockets.cpp.
namespace sockets {
void socketpair(State& m, Process& p, const Call& c, const call::FdPair& a, Step s);
void new_fd(State& m, Process& p, const Call& c, const call::NewFd& a, Step s);
void socket_address(State& m, Process& p, const Call& c, const call::SocketAddress& a, Step s);
} // namespace sockets

// Data: data.cpp.
namespace data {
void transfer(State& m, Process& p, const Call& c, const call::Transfer& a, Step s);
void seek(State& m, Process& p, const Call& c, Step s);
void ioctl(State& m, Process& p, const Call& c, Step s);
void poll(State& m, Process& p, const Call& c, const call::Poll& a, Step s);
void watch(State& m, Process& p, const Call& c, const call::Watch& a, Step s);
void map(State& m, Process& p, const Call& c, Step s); // mmap, munmap
} // namespace data

// Time: timing.cpp.
namespace timing {
void sleep(State& m, Process& p, const Call& c, const call::Sleep& a, Step s);
void alarm(State& m, Process& p, const Call& c, const call::Numbers& a, Step s);
void sleep_goes_on(State& m, Process& p, const Call& c, Step s);
} // namespace timing

// The loader's and the C library's own work: never a step.
namespace housekeeping {
void ignore(State& m, Process& p, const Call& c, Step s);
} // namespace housekeeping

// Any other call, or one whose arguments could not be decoded: shown as
// written.
void as_written(State& m, Process& p, const Call& c, Step s);

} // namespace timeline::handlers
