// Runs the built programs for the tests, as a shell would: each in its own
// process group, in a fresh folder, with standard output to a pipe or to a
// pseudo-terminal. Every wait has a deadline, and whatever a test started is
// killed when its Process goes out of scope, so a failing test cannot hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The path that the build gave a name (BIN_ECHO_FIVE, SOURCE_DIR...): the
// macros of those names call it (tests/CMakeLists.txt).
const char* test_path(const char* name);

namespace harness {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;
// The deadline of a wait that names none. It only stops a hang: a busy
// machine, a sanitizer build or strace's stack unwinding may each make a
// step take seconds, and no test waits for a deadline on purpose.
inline constexpr Duration kDeadline = std::chrono::seconds(60);

// A fresh temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const;

private:
    std::string path_;
};

struct Options {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::string dir; // working folder
    bool terminal = false; // standard output to a pseudo-terminal
    std::string output_file; // or into this file, which it creates
    // The whole standard input; without it, standard input is a pipe that
    // stays open until close_input() or the end of the Process.
    std::optional<std::string> input;
    std::vector<std::string> env; // NAME=value, added to ours or replacing it
    std::function<void()> before_exec; // runs in the child, just before exec
};

class Process {
public:
    explicit Process(Options options);
    // Kills the program's process group and reaps what it can.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    // Collects output until `text` shows on standard output; false if the
    // deadline came first or output ended without it.
    bool wait_for_output(std::string_view text, Duration timeout = kDeadline);
    // Collects output until the program itself has ended (its children may
    // live on); false at the deadline.
    bool wait_exit(Duration timeout = kDeadline);
    // As wait_exit, then until every holder has closed standard output and
    // standard error.
    bool finish(Duration timeout = kDeadline);
    // Collects whatever output arrives within `span`.
    void collect(Duration span);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    bool ended() const { return ended_; }
    // The exit status, or -1 when the program did not exit by itself.
    int exit_code() const;
    // The signal that ended the program, or 0.
    int term_signal() const;

    void write_input(std::string_view text);
    void close_input();
    void signal_group(int sig) const;

private:
    bool pump(const std::function<bool()>& done, Duration timeout);
    void note_status();

    pid_t pid_ = -1;
    pid_t leader_ = -1; // session leader, in terminal mode
    int out_fd_ = -1; // pipe or terminal master
    int err_fd_ = -1;
    int status_fd_ = -1; // pidfd, or the leader's report pipe
    int input_fd_ = -1; // our end of the input pipe
    bool terminal_ = false;
    bool ended_ = false;
    int status_ = 0;
    std::string out_;
    std::string err_;
};

// Polls `condition` with growing pauses until it holds or the deadline.
bool eventually(const std::function<bool()>& condition, Duration timeout = kDeadline);

// Fields 3 (state), 4 (parent pid) and 5 (process group) of /proc/<pid>/stat.
struct ProcStat {
    char state;
    pid_t ppid;
    pid_t pgrp;
};
std::optional<ProcStat> proc_stat(pid_t pid);

// A counter of /proc/<pid>/io ("syscr": read calls so far), or -1.
long proc_io(pid_t pid, const std::string& field);

// The processes whose parent is `pid`.
std::vector<pid_t> children(pid_t pid);

// What each open descriptor of a process points at, as /proc/<pid>/fd shows
// it: fd number and link text ("pipe:[1234]", "/dev/pts/3", ...).
std::vector<std::pair<int, std::string>> open_fds(pid_t pid);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view content);

// libfaketime, preloaded: FAKETIME="2026-03-05 07:08:09" fixes the clock,
// FAKETIME="+0 x10" runs it (and every sleep) ten times faster. Its lazy
// set-up allocates from inside the allocator of a statically linked
// sanitizer runtime, which deadlocks, so sanitizer builds go without it.
#ifdef SANITIZED_BUILD
constexpr bool kFakeTimeUsable = false;
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kFakeTimeUsable = true;
constexpr bool kSanitizedBuild = false;
#endif
std::vector<std::string> fake_time(const std::string& setting);

// Runs `program` with every fork failing (libfiu's fiu-run) and expects the
// failure reported as "<name>: fork: <reason>", nothing on standard output
// and exit status 1.
void expect_fork_failure_reported(const std::string& program, const std::string& name);

// Every built program's path.
std::vector<std::string> all_programs();

// The lessons' names, in the order of the list that the build, ./demo and
// the book share.
std::vector<std::string> lesson_names();

} // namespace harness
