// syscall_timeline: its reader on a few real strace lines, and real traced
// runs of the lessons, checked for the facts each one must show.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "harness.hpp"
#include "render.hpp"
#include "run.hpp"
#include "trace_reader.hpp"

using namespace harness;
using timeline::Arrow;
using timeline::Event;
using timeline::Step;

namespace {

std::vector<Event> read_all(const std::string& text)
{
    std::istringstream in(text);
    timeline::TraceReader reader(in, "excerpt");
    std::vector<Event> events;
    while (auto e = reader.next())
        events.push_back(*e);
    return events;
}

timeline::Run model(const std::string& text)
{
    timeline::Run run;
    for (const auto& e : read_all(text))
        run.add(e);
    run.finish();
    return run;
}

// A sanitizer build's leak check stops the world with ptrace at exit,
// which it cannot do in a process that strace traces.
const std::string kNoLeakCheck = "ASAN_OPTIONS=detect_leaks=0";

// Whether strace may trace here; the reason when it may not.
std::string tracing_refused()
{
    TempDir dir;
    Process probe({.argv = {"/usr/bin/strace", "-o", "/dev/null", "/bin/true"}, .dir = dir.path()});
    if (!probe.finish() || probe.exit_code() != 0)
        return probe.err().empty() ? "strace did not run" : probe.err();
    return "";
}

// Runs a program under strace as the tool does; `until` decides when the
// run has shown enough (the program is then killed with its tracer).
timeline::Run traced(const std::string& program, std::optional<std::string> input = std::nullopt,
                     const std::function<bool(pid_t)>& until = nullptr)
{
    TempDir dir;
    std::string trace = dir / "run.trace";
    {
        Process p({.argv = {"/usr/bin/strace", "-f", "-ttt", "-T", "-y", "-q", "-s", "48", "-o",
                            trace, program},
                   .dir = dir.path(),
                   .input = std::move(input),
                   .env = {kNoLeakCheck}});
        if (until)
            EXPECT_TRUE(eventually([&] { return until(p.pid()); }));
        else
            EXPECT_TRUE(p.finish());
    }
    std::ifstream in(trace);
    timeline::Run run;
    timeline::TraceReader reader(in, trace);
    while (auto e = reader.next())
        run.add(*e);
    run.finish();
    return run;
}

std::vector<const Step*> steps_of(const timeline::Run& run, Step::Kind kind, int pid = 0)
{
    std::vector<const Step*> found;
    for (const auto& s : run.steps())
        if (s.kind == kind && (pid == 0 || s.pid == pid))
            found.push_back(&s);
    return found;
}

std::string channel_name(const timeline::Run& run, const Step& s)
{
    return s.channel ? run.channels()[*s.channel].name : "";
}

#define SKIP_WITHOUT_TRACING()                                                                     \
    if (auto why = tracing_refused(); !why.empty())                                                \
    GTEST_SKIP() << "tracing is refused here: " << why

} // namespace

// Calls split by another process's line are joined again; a write and a
// sleep count from their start (the bytes are in the pipe from then, the
// sleep is what comes next); signals, exits, kills and failed calls are
// told; a line cut by the end of the trace is kept.
TEST(Timeline, ReaderJoinsSplitCallsAndKeepsTheRest)
{
    auto events = read_all(
        "2994  1.000000 pipe2([3<pipe:[4480]>, 4<pipe:[4480]>], 0) = 0 <0.000028>\n"
        "2994  1.000100 write(4<pipe:[4480]>, \"hi\\303\\255\\n\\0\\t\", 7 <unfinished ...>\n"
        "2995  1.000150 close(4<pipe:[4480]> <unfinished ...>\n"
        "2994  1.000200 <... write resumed>) = 7 <0.000050>\n"
        "2995  1.000300 <... close resumed>) = 0 <0.000045>\n"
        "2994  1.000400 clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0},  <unfinished "
        "...>\n"
        "2995  1.000500 exit_group(3)   = ?\n"
        "2995  1.000600 +++ exited with 3 +++\n"
        "2994  1.000700 <... clock_nanosleep resumed>{tv_sec=0, tv_nsec=9}) = ? "
        "ERESTART_RESTARTBLOCK (Interrupted by signal) <0.000845>\n"
        "2994  1.000800 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=2995, "
        "si_uid=0, si_status=3} ---\n"
        "2994  1.000900 restart_syscall(<... resuming interrupted clock_nanosleep ...>) = 0 "
        "<0.999317>\n"
        "2994  2.000000 openat(AT_FDCWD</tmp/x>, \"gone\", O_RDONLY) = -1 ENOENT (No such file or "
        "directory) <0.000010>\n"
        "2996  2.000100 +++ killed by SIGKILL +++\n"
        "2994  2.000200 openat(AT_FDCWD</tmp/x>, \"FIFOVEK\", O_RDONLY");
    std::vector<std::string> names;
    for (const auto& e : events)
        names.push_back(e.kind == Event::Kind::call ? e.name : e.name.empty() ? "+++" : e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"pipe2", "write", "close", "clock_nanosleep",
                                               "exit_group", "+++", "SIGCHLD", "restart_syscall",
                                               "openat", "SIGKILL", "openat"}));
    ASSERT_EQ(events.size(), 11u);
    EXPECT_EQ(events[1].value, 7);
    EXPECT_EQ(timeline::unquote(events[1].args[1]), std::string("hi\xc3\xad\n\0\t", 7));
    EXPECT_DOUBLE_EQ(events[1].time, 1.0001); // at its start
    EXPECT_EQ(events[2].pid, 2995);
    EXPECT_EQ(events[2].args[0], "4<pipe:[4480]>");
    EXPECT_DOUBLE_EQ(events[2].time, 1.0003); // at its end
    EXPECT_EQ(events[3].args[2], "{tv_sec=1, tv_nsec=0}");
    EXPECT_EQ(events[5].kind, Event::Kind::exited);
    EXPECT_EQ(events[5].status, 3);
    EXPECT_EQ(events[6].kind, Event::Kind::signal);
    EXPECT_NE(events[6].info.find("si_pid=2995"), std::string::npos);
    EXPECT_DOUBLE_EQ(events[7].duration, 0.999317);
    EXPECT_EQ(events[8].value, -1);
    EXPECT_EQ(events[8].error, "ENOENT");
    EXPECT_EQ(events[9].kind, Event::Kind::killed);
    EXPECT_FALSE(events[10].finished);
    EXPECT_TRUE(events[8].finished);
}

// strace may show a child's first steps before its parent's fork returns:
// the child is still the parent's, and the ends it closes are still named.
TEST(Timeline, ChildSeenBeforeItsForkReturns)
{
    auto run = model("1  1.0 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.00001>\n"
                     "1  1.1 clone(child_stack=NULL, flags=SIGCHLD <unfinished ...>\n"
                     "2  1.2 close(4<pipe:[7]>) = 0 <0.00001>\n"
                     "1  1.3 <... clone resumed>) = 2 <0.0002>\n"
                     "1  1.4 close(3<pipe:[7]>) = 0 <0.00001>\n");
    auto closes = steps_of(run, Step::Kind::close);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0]->pid, 2);
    EXPECT_EQ(closes[0]->text, "write end");
    EXPECT_EQ(closes[1]->text, "read end");
    ASSERT_NE(run.process(2), nullptr);
    EXPECT_EQ(run.process(2)->parent, 1);
    EXPECT_TRUE(run.process(2)->child);
}

// One-byte reads fold into one step that keeps the first bytes, the read
// that returns 0 ends the phrase, and the bytes go from the write that
// sent them to the reads that took them.
TEST(Timeline, FoldsIdenticalCallsAndFollowsTheBytes)
{
    std::string trace =
        "10  1.0 execve(\"/bin/phrase_classifier\", [\"phrase_classifier\"], 0x0 /* 1 "
        "var */) = 0 <0.0001>\n"
        "10  1.1 mknodat(AT_FDCWD</w>, \"FIFOVEK\", S_IFIFO|0666) = 0 <0.0001>\n"
        "10  1.2 openat(AT_FDCWD</w>, \"FIFOVEK\", O_RDONLY) = 3</w/FIFOVEK> <2.5>\n"
        "11  3.6 write(3</w/FIFOVEK>, \"que pasa21\\n\", 11) = 11 <0.0001>\n";
    for (const char* byte : {"q", "u", "e", " ", "p", "a", "s", "a", "2", "1", "\\n"})
        trace += std::string("10  3.8 read(3</w/FIFOVEK>, \"") + byte + "\", 1) = 1 <0.00001>\n";
    trace += "10  3.9 read(3</w/FIFOVEK>, \"\", 1) = 0 <0.00001>\n"
             "10  3.9 close(3</w/FIFOVEK>) = 0 <0.00001>\n";
    auto run = model(trace);

    auto reads = steps_of(run, Step::Kind::read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]->count, 11);
    EXPECT_EQ(reads[0]->data, "que pasa21\n");
    EXPECT_EQ(channel_name(run, *reads[0]), "FIFOVEK");
    ASSERT_EQ(steps_of(run, Step::Kind::end_of_data).size(), 1u);
    auto opens = steps_of(run, Step::Kind::open);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_DOUBLE_EQ(opens[0]->seconds, 2.5);

    ASSERT_EQ(run.arrows().size(), 1u);
    const Arrow& a = run.arrows()[0];
    EXPECT_EQ(a.kind, Arrow::Kind::data);
    EXPECT_EQ(a.bytes, 11);
    EXPECT_EQ(run.steps()[a.from].pid, 11);
    EXPECT_EQ(&run.steps()[a.to], reads[0]);

    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("reads 1 byte, 11 times, from fd 3 (FIFOVEK): \"que pasa21\\n\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("read returned 0 on fd 3 (FIFOVEK): no writer left, end of phrase"),
              std::string::npos);
    EXPECT_NE(text.find("after waiting 2.5 s for a writer"), std::string::npos);
    // 10 has neither ended nor been killed: still running; 11 only wrote.
    EXPECT_EQ(steps_of(run, Step::Kind::still_running).size(), 2u);
}

// date_handoff: one pipe, the fork, each side closing the other's end, 100
// bytes from parent to child, the child collected with status 0.
TEST(Timeline, DateHandoffTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_DATE_HANDOFF);
    ASSERT_EQ(run.processes().size(), 2u);
    int parent = run.processes()[0].pid;
    int child = run.processes()[1].pid;
    auto pipes = steps_of(run, Step::Kind::pipe);
    ASSERT_EQ(pipes.size(), 1u);
    EXPECT_EQ(channel_name(run, *pipes[0]), "pipe A");
    ASSERT_EQ(steps_of(run, Step::Kind::fork, parent).size(), 1u);
    EXPECT_EQ(steps_of(run, Step::Kind::fork, parent)[0]->other, child);

    auto parent_closes = steps_of(run, Step::Kind::close, parent);
    auto child_closes = steps_of(run, Step::Kind::close, child);
    ASSERT_EQ(parent_closes.size(), 1u);
    ASSERT_EQ(child_closes.size(), 1u);
    EXPECT_EQ(parent_closes[0]->text, "read end");
    EXPECT_EQ(child_closes[0]->text, "write end");

    std::vector<const Arrow*> data;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::data)
            data.push_back(&a);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0]->bytes, 100);
    EXPECT_EQ(run.steps()[data[0]->from].pid, parent);
    EXPECT_EQ(run.steps()[data[0]->to].pid, child);

    auto waits = steps_of(run, Step::Kind::wait, parent);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0]->other, child);
    EXPECT_EQ(waits[0]->text, "exited with status 0");
    EXPECT_TRUE(run.process(child)->collected);
}

// echo_five: three pipes and six closes, three in each process.
TEST(Timeline, EchoFiveTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_ECHO_FIVE, "1 2 3 4 5\n");
    auto pipes = steps_of(run, Step::Kind::pipe);
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(channel_name(run, *pipes[2]), "pipe C");
    ASSERT_EQ(run.processes().size(), 2u);
    for (const auto& p : run.processes()) {
        auto closes = steps_of(run, Step::Kind::close, p.pid);
        ASSERT_EQ(closes.size(), 3u) << p.pid;
        std::set<std::string> closed;
        for (const Step* c : closes)
            closed.insert(channel_name(run, *c));
        EXPECT_EQ(closed, (std::set<std::string>{"pipe A", "pipe B", "pipe C"}));
    }
}

// two_children: two children that end and are never collected, the parent
// still running when the trace is cut.
TEST(Timeline, TwoChildrenTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_TWO_CHILDREN, std::nullopt, [](pid_t strace) {
        // strace's child is the program; its two children are zombies.
        for (pid_t program : children(strace)) {
            int zombies = 0;
            for (pid_t c : children(program))
                zombies += proc_stat(c) && proc_stat(c)->state == 'Z';
            if (zombies == 2)
                return true;
        }
        return false;
    });
    auto zombies = steps_of(run, Step::Kind::zombie);
    ASSERT_EQ(zombies.size(), 2u);
    EXPECT_NE(zombies[0]->pid, zombies[1]->pid);
    EXPECT_EQ(steps_of(run, Step::Kind::wait).size(), 0u);
    EXPECT_EQ(steps_of(run, Step::Kind::still_running).size(), 1u);
    std::string text = timeline::text_timeline(run, "two_children");
    EXPECT_NE(text.find("never collected"), std::string::npos) << text;
}

// list_processes: ps replaces the program in the same pid, and its own
// calls are counted, not shown.
TEST(Timeline, ListProcessesTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_LIST_PROCESSES);
    ASSERT_EQ(run.processes().size(), 1u);
    auto execs = steps_of(run, Step::Kind::exec);
    ASSERT_EQ(execs.size(), 1u);
    EXPECT_EQ(execs[0]->text, "/usr/bin/ps");
    EXPECT_EQ(execs[0]->pid, run.processes()[0].pid);
    auto hidden = steps_of(run, Step::Kind::hidden_calls);
    ASSERT_EQ(hidden.size(), 1u);
    EXPECT_EQ(hidden[0]->text, "ps");
    EXPECT_GT(hidden[0]->count, 50);
    // Nothing of ps's own work shows: its reads of /proc, its writes.
    for (size_t i = 0; i < run.steps().size(); ++i)
        if (run.steps()[i].kind == Step::Kind::read)
            ADD_FAILURE() << timeline::describe(run, i);
}

// Bad input and missing parts: one line on standard error, a status that
// says why.
TEST(Timeline, RefusesWhatIsNotATrace)
{
    TempDir dir;
    write_file(dir / "empty", "");
    write_file(dir / "notes", "Dear diary,\nno system calls today.\n");
    const std::pair<std::string, std::string> cases[] = {
        {"empty", "syscall_timeline: " + (dir / "empty") + ":0: empty: not an strace log\n"},
        {"notes",
         "syscall_timeline: " + (dir / "notes") + ":1: not an strace log line: Dear diary,\n"},
    };
    for (const auto& [file, message] : cases) {
        Process p({.argv = {BIN_SYSCALL_TIMELINE, dir / file}, .dir = dir.path()});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.err(), message);
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.out(), "");
    }

    Process missing({.argv = {BIN_SYSCALL_TIMELINE, "--", "./no_such_program"}, .dir = dir.path()});
    ASSERT_TRUE(missing.finish());
    EXPECT_EQ(missing.err(), "syscall_timeline: ./no_such_program: command not found\n");
    EXPECT_EQ(missing.exit_code(), 127);

    // Without strace in the PATH.
    Process no_strace({.argv = {BIN_SYSCALL_TIMELINE, "--", "/bin/true"},
                       .dir = dir.path(),
                       .env = {"PATH=" + dir.path()}});
    ASSERT_TRUE(no_strace.finish());
    EXPECT_EQ(
        no_strace.err(),
        "syscall_timeline: strace is not installed; install it with: apt-get install strace\n");
    EXPECT_EQ(no_strace.exit_code(), 1);
}

// A command of the user's own, traced by the tool: its output, then the
// timeline; its status is the tool's.
TEST(Timeline, TracesACommandOfTheUsersOwn)
{
    SKIP_WITHOUT_TRACING();
    TempDir dir;
    Process p({.argv = {BIN_SYSCALL_TIMELINE, "--svg", dir / "run.svg", "--", BIN_CHILD_TO_PARENT},
               .dir = dir.path(),
               .env = {kNoLeakCheck}});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_EQ(p.out().rfind("El hijo escribe en el PIPE \n", 0), 0u) << p.out();
    EXPECT_NE(p.out().find("writes 10 bytes to fd 4 (pipe A): \"Hola padre\""), std::string::npos)
        << p.out();
    EXPECT_NE(read_file(dir / "run.svg").find("<svg"), std::string::npos);
}

// Every lesson, traced once and kept in tests/traces/: the tool must tell
// each run exactly as it did when the trace was taken, line by line (pids
// and times are the trace's own). A lost adoption note, an unfolded wait,
// a renamed pipe end all show up here.
TEST(Timeline, LessonTimelinesStayTheSame)
{
    const std::string root = TRACE_FIXTURES;
    for (const std::string& lesson : lesson_names()) {
        std::vector<std::string> argv = {BIN_SYSCALL_TIMELINE, "--title", lesson};
        for (const auto& entry : std::filesystem::directory_iterator(root + "/" + lesson))
            if (entry.path().extension() == ".trace")
                argv.push_back(entry.path().string());
        std::sort(argv.begin() + 3, argv.end());
        ASSERT_GT(argv.size(), 3u) << lesson << ": no trace kept";
        TempDir dir;
        Process p({.argv = argv, .dir = dir.path()});
        ASSERT_TRUE(p.finish()) << lesson;
        EXPECT_EQ(p.exit_code(), 0) << lesson << ": " << p.err();
        EXPECT_EQ(p.out(), read_file(root + "/" + lesson + "/timeline.txt")) << lesson;
    }
}
