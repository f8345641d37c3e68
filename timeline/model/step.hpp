// One step of one process in the model: what it did, with the fields that
// kind of step needs and no other.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/channels.hpp"
#include "reader/event.hpp"

namespace timeline {

// Which end of a pipe or FIFO a descriptor holds.
enum class End { unknown, read, write };

namespace step {

// A descriptor that a step gave up, as it was: what it pointed at.
struct Dropped {
    int fd = -1;
    std::optional<Channel> channel;
    End end = End::unknown;
};

struct Start { // the traced program begins
    std::string command; // its command line, or its path
};
struct Fork {
    int child = 0;
    bool borrows = false; // vfork, posix_spawn: the child uses the parent's memory
    std::string spawns; // the program the child became while the parent waited
};
struct Born {
    int parent = 0; // 0 when not known
    bool borrows = false; // runs in its parent's memory until it execs or exits
};
struct NewThread { // clone with CLONE_THREAD
    int tid = 0;
    int number = 0; // 2 for the process's second thread
};
struct ThreadStart {
    int leader = 0; // the process it belongs to
    int number = 0;
};
struct Exec { // a new program replaces the image
    std::string path;
    std::vector<Dropped> closed; // close-on-exec: what the new program does not get
};
struct ExecFailed {
    std::string path; // the last one tried
    long tries = 1; // a search along PATH: every place tried in a row
    bool found = false; // the search went on, and an exec of the name worked
};
// A system program's child (a shell's command) that the trace shows only
// from here: what it does on the traced processes' pipes.
struct Appears {
    int parent = 0;
    std::string program;
};
// Its parent ended first: another process became its parent. `by` is 0
// when that process is outside the trace (pid 1, or a subreaper there).
struct Adopted {
    int former = 0;
    int by = 0;
    bool zombie = false; // it had ended, and its parent had not collected it
};
struct CollectedOutside {}; // ended, adopted outside the trace: collected there
// Another thread of its process called execve, and goes on as the
// process; this thread's id is gone.
struct Superseded {
    int leader = 0;
};
struct ProcessGroup { // setpgid, setsid
    int pid = 0; // whose group changed
    int group = 0;
    bool session = false; // setsid: a new session, led by the caller
};
struct Subreaper {}; // prctl(PR_SET_CHILD_SUBREAPER): it adopts its descendants' orphans
struct HiddenCalls { // a system program's own calls, counted
    std::string program;
    long calls = 0;
};
struct Pipe {
    int read_fd = -1;
    int write_fd = -1;
    bool cloexec = false; // both ends close as the process execs
};
struct SocketPair { // two connected ends, each reading and writing
    int fd = -1;
    int other_fd = -1;
};
struct MakeFifo {}; // the step's error is EEXIST when it was there already
struct Open {
    // How an open of a FIFO met the other side, which it waits for.
    enum class Met {
        not_asked, // not a path
        there, // the other side was open already: it did not wait
        waited, // it waited until the other side came
        none_yet, // no writer yet, and O_NONBLOCK: it did not wait
        both, // read/write: it is both sides itself, and does not wait
    };
    int fd = -1;
    Access access = Access::read;
    double waited = 0; // how long the open took
    bool cloexec = false;
    Met met = Met::not_asked;
};
struct OpenWaiting { // still in the open when the trace ended
    Access access = Access::read;
};
struct OpenFailed {
    std::string path; // as the process named it
};
struct Close {
    int fd = -1;
    End end = End::unknown;
};
struct Fcntl {
    int fd = -1;
    call::Fcntl::Op op = call::Fcntl::Op::ask;
    std::string flags;
    End end = End::unknown;
    long long size = 0; // what a pipe holds after F_SETPIPE_SZ
};
struct Map { // mmap(MAP_SHARED), or munmap of such a mapping
    long long bytes = 0;
    long long address = 0;
    int fd = -1; // a file's mapping; -1: memory of its own (MAP_ANONYMOUS)
    bool unmaps = false;
};
struct Seek { // lseek: the description's offset, now
    int fd = -1;
    long long offset = 0;
    bool asks = false; // lseek(fd, 0, SEEK_CUR) only asks where it is
};
struct Dup {
    int fd = -1; // the new descriptor
    int from = -1; // the one it copies
    bool cloexec = false; // dup3 O_CLOEXEC, F_DUPFD_CLOEXEC; dup2's copy never is
};
struct NewFd { // a socket, an eventfd, a signalfd: the step's channel
    int fd = -1;
};
struct Accept { // a connection, the step's channel, accepted on a listening socket
    int listening = -1;
    int fd = -1;
};
struct SocketAddress { // bind, connect, listen on a socket
    int fd = -1;
    call::SocketAddress::Verb verb = call::SocketAddress::Verb::bind;
    std::string address;
};
// A read or write, or a run of identical ones folded into one step.
struct Transfer {
    bool is_read = true;
    int fd = -1;
    long long bytes = 0; // per call
    long long total = 0; // all calls together
    long count = 1; // how many calls
    std::string data; // the first bytes moved, raw
    // Seconds spent in it, all calls together: a read's, or a write's that
    // had to wait for room (`full`).
    double waited = 0;
    // A read: its bytes had been written before it began (each call's), so
    // it did not wait for them, however long a busy machine made it take.
    bool ready = false;
    // A write into a pipe or FIFO of more than was left of what it holds:
    // it could end only as the reader made room.
    bool full = false;
    std::string call; // "write", "sendto": only calls of one name fold into one step
    // SCM_RIGHTS: the descriptors passed with the bytes (the sender's, or
    // the receiver's new ones) and what each is open on, when known.
    std::vector<std::pair<int, std::optional<size_t>>> passed;
    // A read that reached bytes sent with descriptors, without room for
    // them (a read, a recv): how many the kernel closed.
    int dropped = 0;
};
struct TransferWaiting { // still in the read or write when the trace ended
    bool is_read = true;
    int fd = -1;
};
struct TransferFailed { // the step's error says why
    bool is_read = true;
    int fd = -1;
    long long asked = 0;
};
// poll, select, epoll_wait: a wait until one of several descriptors is
// ready, or until the time is up.
struct Poll {
    struct Watched {
        int fd = -1;
        std::optional<size_t> channel;
        bool ready = false;
    };
    std::string call; // "poll", "select", "epoll_wait"
    std::vector<Watched> fds; // none for epoll_wait
    long long ready = 0;
    double waited = 0;
    bool finished = true; // false: still waiting when the trace ended
};
struct Watch { // epoll_ctl: the step's channel is the epoll descriptor's
    call::Watch::Op op = call::Watch::Op::add;
    int epoll_fd = -1;
    int fd = -1;
    std::optional<size_t> watched; // what fd points at
};
struct EndOfData { // read returned 0
    int fd = -1;
    long count = 1;
    double waited = 0; // seconds blocked until the last writer went, all calls together
};
// A writer waiting until its bytes have been read: FIONREAD asked again
// and again, with pauses between.
struct UnreadWait {
    int fd = -1;
    long asks = 1;
    double paused = 0;
    long long last_answer = 0;
};
struct Sleep {
    double seconds = 0;
    bool finished = true; // false: still asleep when the trace ended
};
struct Alarm { // alarm(seconds): SIGALRM then; 0 cancels
    long long seconds = 0;
    long long left = 0; // seconds that were left of the alarm it replaced
};
struct SleepGoesOn { // restarted after a signal
    double seconds = 0;
};
struct AskParent { // getppid
    int parent = 0;
    std::optional<int> before; // the answer before, when it changed: adopted
    // Its first question since it was adopted, without an answer before:
    // the parent that ended.
    std::optional<int> former;
};
struct AskPid { // getpid
    int pid = 0;
};
struct Collect { // wait() collected a child
    int child = 0;
    std::optional<ProcessEnd> how;
    double zombie_seconds = 0;
    double waited = 0; // seconds the parent spent in the wait
    bool at_once = false; // the child had ended before the wait began
};
struct WaitWaiting {}; // still in wait when the trace ended
struct WaitPoll { // WNOHANG: nothing to collect yet, asked again and again
    long asks = 1;
};
// wait() reports a child stopped or continued, or ended but left a zombie
// to be collected later (waitid with WNOWAIT).
struct ChildChanged {
    int child = 0;
    bool stopped = true; // else continued, or ended
    std::string signal; // stopped: by which
    std::optional<ProcessEnd> ended; // how it ended, for a report that leaves it a zombie
};
struct WaitNone {}; // nothing to collect: the step's error says why
struct Kill {
    int target = 0; // < 0: the group -target; 0: its own group; -1: every process it may signal
    std::string signal;
};
struct Disposition { // what the process does from now on when the signal comes
    std::string signal;
    call::SignalAction::Disposition what = call::SignalAction::Disposition::restore_default;
};
struct Mask { // the signals it blocks
    call::SignalMask::How how = call::SignalMask::How::block;
    std::string signals; // as strace writes the set: "[CHLD]", "~[]"
};
struct Pause { // pause, sigsuspend: a wait for a signal
    bool suspend = false; // sigsuspend, with a mask of its own for the wait
    double waited = 0;
    bool finished = true;
};
struct CallFailed { // a call that did not do what it was asked; the step's error says why
    std::string call;
};
// strace's "= ?": the process left the call without its return (killed
// in it, or ended by another thread's exec). It did what it did until
// then, and no result says what: the step lasts from its start to there.
struct NeverReturned {
    std::string call; // "read"
    int fd = -1; // the descriptor it was given, if any
};
struct Lock { // flock: an advisory lock on what the descriptor points at
    int fd = -1;
    bool release = false; // LOCK_UN
    bool exclusive = true; // else shared
    bool wait = true; // without LOCK_NB it waits for the lock
};
struct Exit {
    int status = 0;
};
struct Ended { // as the trace saw the process end
    ProcessEnd how;
};
struct Signal {
    std::string name;
    int sender = 0; // 0 when none
    std::string code; // why it came: "CLD_EXITED", "CLD_STOPPED"...
    bool resumes = false; // SIGCONT to a stopped process
    // What the process does with it: a handler of its own runs, or it is
    // ignored (strace shows an ignored signal all the same).
    call::SignalAction::Disposition handled = call::SignalAction::Disposition::restore_default;
};
struct Stopped { // by a signal, until SIGCONT
    std::string signal;
};
struct Zombie { // ended, never collected
    double seconds = 0;
};
struct StillRunning {};
struct AsWritten { // any other call, as strace wrote it
    std::string text;
};

} // namespace step

using StepKind = std::variant<
    step::Start, step::Fork, step::Born, step::NewThread, step::ThreadStart, step::Exec,
    step::ExecFailed, step::HiddenCalls, step::Pipe, step::SocketPair, step::MakeFifo, step::Open,
    step::OpenWaiting, step::OpenFailed, step::Close, step::Dup, step::NewFd, step::Accept,
    step::SocketAddress, step::Transfer, step::TransferWaiting, step::EndOfData, step::UnreadWait,
    step::Sleep, step::Alarm, step::SleepGoesOn, step::AskParent, step::AskPid, step::Collect,
    step::WaitWaiting, step::WaitPoll, step::ChildChanged, step::WaitNone, step::Kill, step::Lock,
    step::Exit, step::Ended, step::Signal, step::Stopped, step::Zombie, step::StillRunning,
    step::AsWritten, step::Appears, step::Adopted, step::CollectedOutside, step::Superseded,
    step::ProcessGroup, step::Subreaper, step::Fcntl, step::TransferFailed, step::Poll, step::Watch,
    step::Disposition, step::Mask, step::Pause, step::CallFailed, step::Seek, step::NeverReturned,
    step::Map>;

struct Step {
    int pid = 0;
    double time = 0; // seconds since the run began: where the step is told
    // When the call (the first of the calls folded into it) began, and when
    // the last of them returned; the same moment for a step that is no
    // call (a birth, a signal's arrival): negative until added, then its
    // time.
    double began = -1;
    double ended = -1;
    double took = 0; // a call's own time, as strace measured it; 0 when not known
    StepKind what;
    std::optional<size_t> channel; // what its descriptor points at: index into Run::channels()
    std::string error; // the call failed: "ENOENT"
    std::optional<SourceLine> source; // traced with stack traces, in a program built with -g
    bool unwound = true; // false: strace could not unwind this call's stack
    // The trace lines it was made from: its call's, or from the first to
    // the last of the calls folded into it (the process's lines between
    // them); none for what the model adds at the trace's end.
    TraceLines from;
    // The line whose event added it (or the last call folded into it): the
    // first of a write told as it began, the last of a call told as it
    // ended. The world after the step is the world from that line on.
    long made = 0;
    // How much later than strace stamped it the step is told, so that it
    // comes after what caused it (the close that ended a read's data).
    double moved = 0;
    bool moved_after_cause = false; // else after the step before it, which waited for its cause

    template <class T> const T* as() const { return std::get_if<T>(&what); }
    template <class T> T* as() { return std::get_if<T>(&what); }
    template <class T> bool is() const { return std::holds_alternative<T>(what); }
};

} // namespace timeline
