// What the reader hands the model: one step of one process, with the
// system call's arguments and result already decoded. Nothing here is
// strace's text; the model never sees that.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace timeline {

// How many bytes of the data a read or write moved are kept.
constexpr size_t kDataKept = 200;

// What a descriptor points at.
struct Target {
    enum class Kind {
        unknown, // the trace does not say (made without -y)
        path, // a file, a FIFO, a device: `name` is its absolute path
        pipe, // `name` identifies the pipe ("pipe:[4480]")
        other, // a socket, an anonymous inode: `name` as the kernel calls it
    };
    Kind kind = Kind::unknown;
    std::string name;
};

struct Fd {
    int number = -1;
    Target target;
};

// How an open asked for a file.
enum class Access { read, write, read_write };

// How a process ended, as its parent learns it.
struct ProcessEnd {
    bool killed = false; // by a signal; otherwise it exited
    int status = 0; // the exit status
    std::string signal; // the signal that killed it ("SIGKILL")
};

// The calls the reader decodes, by the shape of their arguments. A call
// of any other shape, or one it cannot decode, comes as Unknown.
namespace call {

struct Exec { // execve, execveat
    std::string path;
    std::optional<std::vector<std::string>> argv; // when strace wrote the list
};
struct Spawn { // fork, vfork, clone, clone3: the child's pid is the result
    bool thread = false; // CLONE_THREAD: a thread of the same process
    bool borrows = false; // CLONE_VM without a thread: vfork, posix_spawn
};
struct Exit { // exit, exit_group
    int status = 0;
};
// What wait4, waitpid or waitid reported of a child.
struct Wait {
    enum class Change { ended, stopped, continued };
    int child = 0; // 0: none (WNOHANG: nothing to collect yet)
    Change change = Change::ended;
    std::optional<ProcessEnd> status; // ended: how, when the call says
    std::string stop_signal; // stopped: by which signal
    bool leaves_zombie = false; // WNOWAIT: reported, not collected
};
struct Kill { // kill, tkill, tgkill
    int target = 0;
    std::string signal;
};
struct MakeFifo { // mknod, mknodat of a FIFO
    std::string path; // absolute when the folder is known
};
struct Open { // open, openat
    std::string path; // as the process named it
    std::string resolved; // absolute when the folder is known, else as named
    Access access = Access::read;
    std::optional<Fd> result; // the new descriptor, when it worked
    bool cloexec = false; // O_CLOEXEC: closed when the process execs
    std::string flags; // status flags kept by the description: "O_NONBLOCK|O_APPEND"
};
struct FdPair { // pipe, pipe2, socketpair (whose ends both read and write)
    Fd read;
    Fd write;
    bool cloexec = false; // O_CLOEXEC, SOCK_CLOEXEC
    std::string flags; // O_NONBLOCK
};
struct Close {};
struct Dup { // dup, dup2, dup3, fcntl F_DUPFD: the old descriptor is the event's `fd`
    Fd result;
    bool cloexec = false; // dup3 O_CLOEXEC, F_DUPFD_CLOEXEC
};
struct NewFd { // socket, accept, accept4, eventfd, eventfd2, signalfd4, epoll_create
    Fd result; // the descriptor it made
    bool accepted = false; // a connection accepted on the event's `fd`
    bool cloexec = false; // SOCK_CLOEXEC, EFD_CLOEXEC...
    std::string flags; // its status flags: "O_NONBLOCK" for SOCK_NONBLOCK...
};
// fcntl on the event's `fd`, but for F_DUPFD (a Dup): what it set or asked.
struct Fcntl {
    enum class Op { close_on_exec, keep_on_exec, status_flags, pipe_size, ask };
    Op op = Op::ask;
    std::string flags; // F_SETFL's: "O_RDONLY|O_NONBLOCK"
    std::string status; // of those, what the description keeps: "O_NONBLOCK"
    long long size = 0; // F_SETPIPE_SZ's: what the pipe holds now (the result)
};
// poll, ppoll, select, pselect6, epoll_wait: waits until one of several
// descriptors is ready, or the time is up.
struct Poll {
    struct Watched {
        Fd fd;
        bool ready = false;
    };
    std::vector<Watched> fds; // epoll_wait: none, as the kernel keeps them
    long long ready = 0; // how many were ready (the result)
};
// epoll_ctl: the event's `fd` is the epoll descriptor.
struct Watch {
    enum class Op { add, change, remove } op = Op::add;
    Fd fd; // the descriptor watched
};
// rt_sigaction: what the process now does when the signal comes, or that
// it only asked.
struct SignalAction {
    enum class Disposition { ignore, handler, restore_default, asks };
    std::string signal; // "SIGPIPE"
    Disposition disposition = Disposition::restore_default;
};
struct SignalMask { // rt_sigprocmask
    enum class How { block, unblock, set, asks };
    How how = How::block;
    std::string signals; // as strace writes the set: "[CHLD]", "[INT TERM]", "~[]"
    std::string before; // the mask it had, when the call asked for it: "[]"
};
struct Numbers { // the numbers a call was given: setpgid, prctl
    std::vector<std::string> args;
};
struct SocketAddress { // bind, connect, listen on the event's `fd`
    enum class Verb { bind, connect, listen };
    Verb verb = Verb::bind;
    std::string address; // a Unix socket's path, "127.0.0.1:80"; empty for listen
};
struct Stat { // fstat, newfstatat, statx on a descriptor
    bool fifo = false;
};
struct Transfer { // read, pread64, write, pwrite64, sendto, recvfrom, sendmsg, recvmsg
    bool is_read = true;
    std::string data; // the first kDataKept bytes moved (or asked to move)
    long long asked = 0; // how many bytes the call asked to move
    // SCM_RIGHTS: the descriptors sent with the bytes (the sender's), or
    // received (the new ones in the receiver's table).
    std::vector<Fd> passed;
    bool passed_cloexec = false; // MSG_CMSG_CLOEXEC
};
struct Unread { // ioctl FIONREAD: how many bytes are still unread
    long long answer = 0;
};
struct TerminalQuery {}; // ioctl TCGETS, TCSETS, TIOCGWINSZ: stdio's questions
struct Sleep { // nanosleep, clock_nanosleep
    double seconds = 0;
};
struct Restart {}; // restart_syscall: a sleep going on after a signal
struct Unknown { // any other call, as strace wrote it
    std::string text; // "flock(3</tmp/x>, LOCK_EX) = 0"
};

} // namespace call

using CallArgs =
    std::variant<call::Unknown, call::Exec, call::Spawn, call::Exit, call::Wait, call::Kill,
                 call::MakeFifo, call::Open, call::FdPair, call::Close, call::Dup, call::NewFd,
                 call::SocketAddress, call::Stat, call::Transfer, call::Unread, call::TerminalQuery,
                 call::Sleep, call::Restart, call::Fcntl, call::Poll, call::Watch,
                 call::SignalAction, call::SignalMask, call::Numbers>;

// A system call, joined again when another process's line came between its
// start and its end.
struct Call {
    std::string name; // "read"
    int row = -1; // its row in the table of calls (reader/calls.def); -1: not listed
    std::optional<Fd> fd; // its first argument, when that is a descriptor
    CallArgs args;
    long long value = 0; // what it returned; -1 for a failure
    std::string error; // for a failed or interrupted call: "ENOENT", "ERESTARTSYS"...
    bool finished = true; // false: the trace ended while the process was in it
    // strace's bare "= ?": the process left the call without its return
    // (killed in it, or ended by another thread's exec); `value` then
    // tells nothing. With an error ("= ? ERESTARTSYS") a signal interrupted
    // it, and it returned to the process.
    bool no_return = false;
    double duration = 0; // time spent inside, or 0 when not known
    double began = 0; // seconds since the epoch when it was entered
    // Told as it started (a write, a sleep: another process's line cut it).
    bool told_at_start = false;
    // The end of a call told as it started: how long it took, and whether
    // it failed (a write with no reader left, EPIPE) or a signal
    // interrupted it (a sleep), which takes back what its start told.
    bool corrects_start = false;
};

struct Signal { // delivered to the process
    std::string name; // "SIGCHLD"
    int sender = 0; // the pid that caused it, or 0
    std::string code; // why: "CLD_EXITED", "CLD_STOPPED", "SI_USER"...
};

struct Stopped { // by a signal: it runs again at SIGCONT
    std::string signal;
};

struct Exited {
    int status = 0;
};

struct Killed {
    std::string signal;
};

// A thread other than the leader called execve: the kernel ended the
// other threads and gave it the leader's pid, under which its execve
// returns. The event is the thread's: its own id is gone.
struct Superseded {
    int leader = 0;
};

// Where a call was made, from a trace recorded with stack traces
// (strace -k): the frames in the program's own code, innermost first, each
// an object file and the offset in it of a return address. The frames in
// shared libraries (the C library's printf, write) are left out.
struct Frame {
    std::string object; // "/home/ana/lessons/date_handoff"
    unsigned long long offset = 0;
};
struct CodeAt { // follows the event of the call it belongs to
    std::vector<Frame> frames;
    bool unwound = true; // false: strace could not unwind the whole stack
    bool in_library = false; // the innermost frame is a shared library's
};

// The line of a program's source that made a call, as its debug
// information tells it.
struct SourceLine {
    std::string file; // as the debug information names it: an absolute path
    int line = 0;
    bool operator==(const SourceLine&) const = default;
};

// The lines of a trace an event was read from: one, or a call's start and
// its "resumed" end with other processes' lines between them. `file`
// counts the traces read together, from 0; line numbers count from 1, and
// 0 means none (a step the model adds at the end).
struct TraceLines {
    int file = 0;
    long first = 0;
    long last = 0;
    bool operator==(const TraceLines&) const = default;
};

// One step of one process: a call, a signal delivered to it, or its end.
struct Event {
    int pid = 0;
    double time = 0; // seconds since the epoch: a call's end, or a write's or sleep's start
    std::variant<Call, Signal, Exited, Killed, Stopped, CodeAt, Superseded> what;
    TraceLines from;
};

} // namespace timeline
