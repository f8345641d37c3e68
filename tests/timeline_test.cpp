// syscall_timeline: its reader on a few real strace lines, and real traced
// runs of the lessons, checked for the facts each one must show.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "base/language.hpp"
#include "fuzz/exercise.hpp"
#include "harness.hpp"
#include "in_spanish.hpp"
#include "model/run.hpp"
#include "reader/merged_traces.hpp"
#include "reader/source_lines.hpp"
#include "traced.hpp"
#include "views/book.hpp"
#include "views/glossary.hpp"
#include "views/plumbing_figure.hpp"
#include "views/source_view.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"
#include "views/wording.hpp"

using namespace harness;
using namespace traces;
using timeline::Arrow;
using timeline::Call;
using timeline::Event;
using timeline::Step;
namespace step = timeline::step;

// Calls split by another process's line are joined again; a write and a
// sleep count from their start (the bytes are in the pipe from then, the
// sleep is what comes next); each call's arguments come decoded; signals,
// exits, kills and failed calls are told; a line cut by the end of the
// trace is kept.
TEST(Timeline, ReaderJoinsSplitCallsAndDecodesThem)
{
    auto events = read_all(
        "2994  1.000000 pipe2([3<pipe:[4480]>, 4<pipe:[4480]>], 0) = 0 <0.000028>\n"
        "2994  1.000100 write(4<pipe:[4480]>, \"hi\\303\\255\\n\\0\\t\", 7 <unfinished ...>\n"
        "2995  1.000150 close(4<pipe:[4480]> <unfinished ...>\n"
        "2994  1.000200 <... write resumed>) = 7 <0.000050>\n"
        "2995  1.000300 <... close resumed>) = 0 <0.000045>\n"
        "2994  1.000400 clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=500000000},  "
        "<unfinished ...>\n"
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
        "2994  2.000050 wait4(-1, [{WIFSIGNALED(s) && WTERMSIG(s) == SIGKILL}], 0, NULL) = 2996 "
        "<0.000020>\n"
        "2996  2.000100 +++ killed by SIGKILL +++\n"
        "2994  2.000200 openat(AT_FDCWD</tmp/x>, \"FIFOVEK\", O_RDONLY");
    ASSERT_EQ(events.size(), 14u);
    auto call = [&](size_t i) { return std::get<Call>(events[i].what); };

    auto pipe = std::get<timeline::call::FdPair>(call(0).args);
    EXPECT_EQ(pipe.read.number, 3);
    EXPECT_EQ(pipe.write.number, 4);
    EXPECT_EQ(pipe.read.target.kind, timeline::Target::Kind::pipe);
    EXPECT_EQ(pipe.read.target.name, pipe.write.target.name);

    auto write = std::get<timeline::call::Transfer>(call(1).args);
    EXPECT_FALSE(write.is_read);
    EXPECT_EQ(write.data, std::string("hi\xc3\xad\n\0\t", 7));
    EXPECT_EQ(call(1).value, 7);
    EXPECT_TRUE(call(1).told_at_start);
    EXPECT_DOUBLE_EQ(events[1].time, 1.0001); // at its start
    EXPECT_EQ(events[1].from, (timeline::TraceLines{0, 2, 2}));
    // Its end comes too, made from both its lines.
    EXPECT_TRUE(call(2).corrects_start);
    EXPECT_DOUBLE_EQ(call(2).duration, 0.00005);
    EXPECT_EQ(events[2].from, (timeline::TraceLines{0, 2, 4}));
    EXPECT_EQ(events[3].pid, 2995);
    EXPECT_EQ(call(3).name, "close");
    EXPECT_EQ(call(3).fd->number, 4);
    EXPECT_DOUBLE_EQ(events[3].time, 1.0003); // at its end
    EXPECT_EQ(events[3].from, (timeline::TraceLines{0, 3, 5}));
    EXPECT_DOUBLE_EQ(std::get<timeline::call::Sleep>(call(4).args).seconds, 1.5);
    EXPECT_EQ(std::get<timeline::call::Exit>(call(5).args).status, 3);
    EXPECT_EQ(std::get<timeline::Exited>(events[6].what).status, 3);
    // The sleep's end: a signal interrupted it, and it returned.
    EXPECT_TRUE(call(7).corrects_start);
    EXPECT_EQ(call(7).error, "ERESTART_RESTARTBLOCK");
    EXPECT_FALSE(call(7).no_return);
    auto sigchld = std::get<timeline::Signal>(events[8].what);
    EXPECT_EQ(sigchld.name, "SIGCHLD");
    EXPECT_EQ(sigchld.sender, 2995);
    EXPECT_DOUBLE_EQ(call(9).duration, 0.999317);

    auto gone = std::get<timeline::call::Open>(call(10).args);
    EXPECT_EQ(call(10).value, -1);
    EXPECT_EQ(call(10).error, "ENOENT");
    EXPECT_EQ(gone.path, "gone");
    EXPECT_EQ(gone.resolved, "/tmp/x/gone");
    EXPECT_FALSE(gone.result);

    auto collected = std::get<timeline::call::Wait>(call(11).args);
    ASSERT_TRUE(collected.status);
    EXPECT_TRUE(collected.status->killed);
    EXPECT_EQ(collected.status->signal, "SIGKILL");
    EXPECT_EQ(call(11).value, 2996);
    EXPECT_EQ(std::get<timeline::Killed>(events[12].what).signal, "SIGKILL");

    EXPECT_FALSE(call(13).finished);
    EXPECT_TRUE(call(10).finished);
    EXPECT_EQ(events[13].from, (timeline::TraceLines{0, 15, 15}));
    EXPECT_EQ(std::get<timeline::call::Open>(call(13).args).resolved, "/tmp/x/FIFOVEK");
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
    auto closes = steps_of<step::Close>(run);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0]->pid, 2);
    EXPECT_EQ(closes[0]->as<step::Close>()->end, timeline::End::write);
    EXPECT_EQ(closes[1]->as<step::Close>()->end, timeline::End::read);
    ASSERT_NE(run.process(2), nullptr);
    EXPECT_EQ(run.process(2)->parent, 1);
    EXPECT_TRUE(run.process(2)->child);
    auto born = steps_of<step::Born>(run);
    ASSERT_EQ(born.size(), 1u);
    EXPECT_EQ(born[0]->as<step::Born>()->parent, 1);
}

// A busy machine makes any call slow: what was open before a FIFO's open
// began says whether it waited, not how long it took, and bytes written
// before a read began say it did not wait for them; a child's steps
// come after its fork, even when the parent's steps wait for a cause (a
// read whose bytes strace shows written later).
TEST(Timeline, OrderAndWaitsComeFromCausesNotFromTimes)
{
    auto run = model("1  0.8 mknodat(AT_FDCWD</w>, \"f\", S_IFIFO|0644) = 0 <0.0001>\n"
                     "1  0.9 mknodat(AT_FDCWD</w>, \"g\", S_IFIFO|0644) = 0 <0.0001>\n"
                     "1  1.0 openat(AT_FDCWD</w>, \"f\", O_RDONLY|O_NONBLOCK) = 3</w/f> <0.003>\n"
                     "1  1.1 openat(AT_FDCWD</w>, \"f\", O_WRONLY) = 4</w/f> <0.004>\n"
                     "1  1.2 openat(AT_FDCWD</w>, \"g\", O_RDWR) = 5</w/g> <0.002>\n"
                     "1  1.3 pipe2([6<pipe:[7]>, 7<pipe:[7]>], 0) = 0 <0.00001>\n"
                     "1  1.4 clone(child_stack=NULL, flags=SIGCHLD) = 2 <0.0002>\n"
                     "1  1.5 read(6<pipe:[7]>, \"hello\", 5) = 5 <0.1>\n"
                     "1  1.6 clone(child_stack=NULL, flags=SIGCHLD) = 3 <0.0002>\n"
                     "3  1.61 close(6<pipe:[7]>) = 0 <0.00001>\n"
                     "2  1.62 write(7<pipe:[7]>, \"hello\", 5) = 5 <0.00001>\n"
                     "2  1.63 write(7<pipe:[7]>, \"abc\", 3) = 3 <0.00001>\n"
                     "1  1.7 read(6<pipe:[7]>, \"abc\", 3) = 3 <0.004>\n");
    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("opens FIFO f for reading as fd 3 (no writer yet; O_NONBLOCK: it does not "
                        "wait for one)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("opens FIFO f for writing as fd 4 (a reader was there already)"),
              std::string::npos);
    EXPECT_NE(text.find("opens FIFO g for read/write as fd 5 (both ends at once"),
              std::string::npos);
    // The first read waited for its bytes; the second found them there,
    // however long it took.
    auto reads = steps_of<step::Transfer>(run, 1);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_FALSE(reads[0]->as<step::Transfer>()->ready);
    EXPECT_TRUE(reads[1]->as<step::Transfer>()->ready);
    // 3 is born with its parent's table, then closes its copy of the read end.
    ASSERT_NE(run.process(3), nullptr);
    EXPECT_EQ(run.process(3)->parent, 1);
    EXPECT_TRUE(run.process(3)->fds.contains(7));
    EXPECT_FALSE(run.process(3)->fds.contains(6));
    EXPECT_LT(text.find("pid 3 child  is born"), text.find("pid 3 child  closes fd 6")) << text;
}

// A grandchild whose first line comes before its grandparent's fork has
// returned is born with its parent's steps, and what it does next is
// told in its place, not at the end of the trace.
TEST(Timeline, GrandchildSeenBeforeItsParentWasBornKeepsItsPlace)
{
    auto run = model("1  0.999 getppid() = 9 <0.00001>\n"
                     "1  1.000 clone(child_stack=NULL, flags=SIGCHLD <unfinished ...>\n"
                     "2  1.001 clone(child_stack=NULL, flags=SIGCHLD) = 3 <0.0001>\n"
                     "3  1.002 set_robust_list(0x7f, 24) = 0 <0.00001>\n"
                     "1  1.003 <... clone resumed>) = 2 <0.003>\n"
                     "3  1.004 rt_sigprocmask(SIG_BLOCK, [USR2], NULL, 8) = 0 <0.00001>\n"
                     "1  1.010 kill(2, SIGTERM) = 0 <0.00001>\n");
    std::string text = timeline::text_timeline(run, "t");
    size_t born = text.find("pid 3 child  is born");
    size_t blocks = text.find("pid 3 child  blocks SIGUSR2");
    size_t kill = text.find("sends SIGTERM");
    ASSERT_NE(blocks, std::string::npos) << text;
    ASSERT_NE(kill, std::string::npos) << text;
    EXPECT_LT(born, blocks) << text;
    EXPECT_LT(blocks, kill) << text;
}

// One-byte reads fold into one step that keeps the first bytes, the read
// that returns 0 ends the phrase, and the bytes go from the write that
// sent them to the reads that took them; a writer's FIONREAD questions and
// the pauses between them fold into one wait.
TEST(Timeline, FoldsIdenticalCallsAndFollowsTheBytes)
{
    std::string trace =
        "10  1.0 execve(\"/bin/phrase_classifier\", [\"phrase_classifier\"], 0x0 /* 1 "
        "var */) = 0 <0.0001>\n"
        "10  1.1 mknodat(AT_FDCWD</w>, \"FIFOVEK\", S_IFIFO|0666) = 0 <0.0001>\n"
        "10  1.2 openat(AT_FDCWD</w>, \"FIFOVEK\", O_RDONLY) = 3</w/FIFOVEK> <2.5>\n"
        "11  3.6 write(3</w/FIFOVEK>, \"que pasa21\\n\", 11) = 11 <0.0001>\n"
        "11  3.6 ioctl(3</w/FIFOVEK>, FIONREAD, [11]) = 0 <0.00001>\n"
        "11  3.6 clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=0, tv_nsec=100000}, NULL) = 0 "
        "<0.0001>\n"
        "11  3.7 ioctl(3</w/FIFOVEK>, FIONREAD, [0]) = 0 <0.00001>\n";
    for (const char* byte : {"q", "u", "e", " ", "p", "a", "s", "a", "2", "1", "\\n"})
        trace += std::string("10  3.8 read(3</w/FIFOVEK>, \"") + byte + "\", 1) = 1 <0.00001>\n";
    trace += "10  3.9 read(3</w/FIFOVEK>, \"\", 1) = 0 <0.00001>\n"
             "10  3.9 close(3</w/FIFOVEK>) = 0 <0.00001>\n";
    auto run = model(trace);

    auto reads = steps_of<step::Transfer>(run, 10);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]->as<step::Transfer>()->count, 11);
    EXPECT_EQ(reads[0]->as<step::Transfer>()->data, "que pasa21\n");
    EXPECT_EQ(channel_name(run, *reads[0]), "FIFO FIFOVEK");
    ASSERT_EQ(steps_of<step::EndOfData>(run).size(), 1u);
    auto opens = steps_of<step::Open>(run);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_DOUBLE_EQ(opens[0]->as<step::Open>()->waited, 2.5);
    auto waits = steps_of<step::UnreadWait>(run);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0]->as<step::UnreadWait>()->asks, 2);
    EXPECT_EQ(waits[0]->as<step::UnreadWait>()->last_answer, 0);
    EXPECT_TRUE(steps_of<step::Sleep>(run).empty());

    ASSERT_EQ(run.arrows().size(), 1u);
    const Arrow& a = run.arrows()[0];
    EXPECT_EQ(a.kind, Arrow::Kind::data);
    EXPECT_EQ(a.bytes, 11);
    EXPECT_EQ(run.steps()[a.from].pid, 11);
    EXPECT_EQ(&run.steps()[a.to], reads[0]);

    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("reads 1 byte, 11 times, from fd 3 (FIFO FIFOVEK): \"que pasa21\\n\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("read returned 0 on fd 3 (FIFO FIFOVEK): no writer left, end of data"),
              std::string::npos);
    EXPECT_NE(text.find("after waiting 2.5 s for a writer"), std::string::npos);
    EXPECT_NE(text.find("waits until FIFO FIFOVEK has been read: asked 2 times how many bytes are "
                        "unread (last answer 0), paused 100 \xc2\xb5s"),
              std::string::npos)
        << text;
    // 10 has neither ended nor been killed: still running; 11 only wrote.
    EXPECT_EQ(steps_of<step::StillRunning>(run).size(), 2u);
}

// A child that asks for its parent again after the parent ended has been
// adopted: the new answer says so, once.
TEST(Timeline, AdoptionIsNoted)
{
    auto run = model("1  1.0 clone(child_stack=NULL, flags=SIGCHLD) = 2 <0.0001>\n"
                     "2  1.1 getppid() = 1 <0.00001>\n"
                     "2  2.1 getppid() = 1 <0.00001>\n"
                     "1  2.5 exit_group(0) = ?\n"
                     "1  2.5 +++ exited with 0 +++\n"
                     "2  3.1 getppid() = 77 <0.00001>\n"
                     "2  4.1 getppid() = 77 <0.00001>\n");
    auto asks = steps_of<step::AskParent>(run, 2);
    ASSERT_EQ(asks.size(), 4u);
    EXPECT_FALSE(asks[1]->as<step::AskParent>()->before);
    EXPECT_EQ(asks[2]->as<step::AskParent>()->before, 1);
    EXPECT_FALSE(asks[3]->as<step::AskParent>()->before);
    std::string text = timeline::text_timeline(run, "t");
    EXPECT_EQ(count(text, "adopted, its parent was 1"), 1u) << text;
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
    auto pipes = steps_of<step::Pipe>(run);
    ASSERT_EQ(pipes.size(), 1u);
    EXPECT_EQ(channel_name(run, *pipes[0]), "pipe A");
    ASSERT_EQ(steps_of<step::Fork>(run, parent).size(), 1u);
    EXPECT_EQ(steps_of<step::Fork>(run, parent)[0]->as<step::Fork>()->child, child);

    auto parent_closes = steps_of<step::Close>(run, parent);
    auto child_closes = steps_of<step::Close>(run, child);
    ASSERT_EQ(parent_closes.size(), 1u);
    ASSERT_EQ(child_closes.size(), 1u);
    EXPECT_EQ(parent_closes[0]->as<step::Close>()->end, timeline::End::read);
    EXPECT_EQ(child_closes[0]->as<step::Close>()->end, timeline::End::write);

    std::vector<const Arrow*> data;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::data)
            data.push_back(&a);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0]->bytes, 100);
    EXPECT_EQ(run.steps()[data[0]->from].pid, parent);
    EXPECT_EQ(run.steps()[data[0]->to].pid, child);

    auto waits = steps_of<step::Collect>(run, parent);
    ASSERT_EQ(waits.size(), 1u);
    const auto* collect = waits[0]->as<step::Collect>();
    EXPECT_EQ(collect->child, child);
    ASSERT_TRUE(collect->how);
    EXPECT_FALSE(collect->how->killed);
    EXPECT_EQ(collect->how->status, 0);
    EXPECT_TRUE(run.process(child)->collected);

    // Each call knows the line of the lesson that made it, found here by
    // what the line says.
    if (!timeline::SourceLines::available())
        return;
    std::string source = read_file(std::string(SOURCE_DIR) + "/pipes/date_handoff.cpp");
    auto line_of = [&](const std::string& code) {
        size_t at = source.find(code);
        if (at == std::string::npos) {
            ADD_FAILURE() << code << " is in no line";
            return 0;
        }
        EXPECT_EQ(source.find(code, at + 1), std::string::npos) << code << " is on two lines";
        return int(std::count(source.begin(), source.begin() + long(at), '\n')) + 1;
    };
    auto made_by = [&](const Step* step, const std::string& code) {
        ASSERT_TRUE(step->source) << code;
        // Named relative to the checkout: nothing of the machine that built it.
        EXPECT_EQ(step->source->file, "pipes/date_handoff.cpp");
        EXPECT_EQ(step->source->line, line_of(code)) << code;
    };
    made_by(pipes[0], "pipe(fds)");
    made_by(steps_of<step::Fork>(run, parent)[0], "fork()");
    made_by(parent_closes[0], "close(fds[0])");
    made_by(child_closes[0], "close(fds[1])");
    made_by(&run.steps()[data[0]->from], "write(fds[1]");
    made_by(&run.steps()[data[0]->to], "read(fds[0]");
    made_by(waits[0], "wait(&status)");
}

// echo_five: three pipes and six closes, three in each process.
TEST(Timeline, EchoFiveTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_ECHO_FIVE, "1 2 3 4 5\n");
    auto pipes = steps_of<step::Pipe>(run);
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(channel_name(run, *pipes[2]), "pipe C");
    ASSERT_EQ(run.processes().size(), 2u);
    for (const auto& p : run.processes()) {
        auto closes = steps_of<step::Close>(run, p.pid);
        ASSERT_EQ(closes.size(), 3u) << p.pid;
        std::set<std::string> closed;
        for (const Step* c : closes)
            closed.insert(channel_name(run, *c));
        EXPECT_EQ(closed, (std::set<std::string>{"pipe A", "pipe B", "pipe C"}));
    }

    // The descriptor tables as a textbook draws them, at the last moment
    // the plumbing changed: each process holds the three ends the other
    // gave up, in the figure's model and in its picture.
    ASSERT_FALSE(run.plumbing().empty());
    const auto& last = run.plumbing().back();
    EXPECT_EQ(last.change, timeline::PlumbingChange::close);
    auto ends = [&](const timeline::ProcessTable& table) {
        std::set<std::string> held;
        for (const auto& e : table.fds)
            if (e.carries_data)
                held.insert(timeline::channel_name(*e.channel) +
                            (e.end == timeline::End::read ? " read" : " write"));
        return held;
    };
    ASSERT_EQ(last.processes.size(), 2u);
    EXPECT_EQ(ends(last.processes[0]),
              (std::set<std::string>{"pipe A read", "pipe B write", "pipe C write"}));
    EXPECT_EQ(ends(last.processes[1]),
              (std::set<std::string>{"pipe A write", "pipe B read", "pipe C read"}));
    std::string svg = timeline::plumbing_svg(last, "echo_five");
    auto box = [&](int pid) {
        size_t from = svg.find("data-pid=\"" + std::to_string(pid) + "\"");
        return svg.substr(from, svg.find("</g>", from) - from);
    };
    std::string parent = box(last.processes[0].pid);
    std::string child = box(last.processes[1].pid);
    for (const char* end : {"pipe A, read end", "pipe B, write end", "pipe C, write end"}) {
        EXPECT_NE(parent.find(end), std::string::npos) << end << "\n" << svg;
        EXPECT_EQ(child.find(end), std::string::npos) << end << "\n" << svg;
    }
    for (const char* end : {"pipe A, write end", "pipe B, read end", "pipe C, read end"}) {
        EXPECT_NE(child.find(end), std::string::npos) << end << "\n" << svg;
        EXPECT_EQ(parent.find(end), std::string::npos) << end << "\n" << svg;
    }
    EXPECT_NE(timeline::plumbing_caption(last).find("pipes B and C run from"), std::string::npos)
        << timeline::plumbing_caption(last);
}

// two_children: two children that end and are never collected, the parent
// still running when the recording is stopped, once the trace shows both
// children's ends.
TEST(Timeline, TwoChildrenTraced)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(BIN_TWO_CHILDREN, std::nullopt, [](const std::string& trace) {
        return count(trace, "+++ exited with 0 +++") == 2;
    });
    auto zombies = steps_of<step::Zombie>(run);
    ASSERT_EQ(zombies.size(), 2u);
    EXPECT_NE(zombies[0]->pid, zombies[1]->pid);
    EXPECT_EQ(steps_of<step::Collect>(run).size(), 0u);
    EXPECT_EQ(steps_of<step::StillRunning>(run).size(), 1u);
    std::string text = timeline::text_timeline(run, "two_children");
    EXPECT_NE(text.find("never collected"), std::string::npos) << text;
}

// list_processes: ps replaces the program in the same pid, and its own
// calls are counted, not shown.
TEST(Timeline, ListProcessesTraced)
{
    SKIP_WITHOUT_TRACING();
    // Without the stacks, which would unwind every one of ps's calls: the
    // exec and what ps did are the point here.
    auto run = traced(BIN_LIST_PROCESSES, std::nullopt, nullptr, false);
    ASSERT_EQ(run.processes().size(), 1u);
    auto execs = steps_of<step::Exec>(run);
    ASSERT_EQ(execs.size(), 1u);
    EXPECT_EQ(execs[0]->as<step::Exec>()->path, "/usr/bin/ps");
    EXPECT_EQ(execs[0]->pid, run.processes()[0].pid);
    auto hidden = steps_of<step::HiddenCalls>(run);
    ASSERT_EQ(hidden.size(), 1u);
    EXPECT_EQ(hidden[0]->as<step::HiddenCalls>()->program, "ps");
    EXPECT_GT(hidden[0]->as<step::HiddenCalls>()->calls, 50);
    // Nothing of ps's own work shows: its reads of /proc, its writes.
    for (size_t i = 0; i < run.steps().size(); ++i)
        if (const auto* t = run.steps()[i].as<step::Transfer>(); t && t->is_read)
            ADD_FAILURE() << timeline::describe(run, i);
}

// Bad input and missing parts: one line on standard error, a status that
// says why.
TEST(Timeline, RefusesWhatIsNotATrace)
{
    TempDir dir;
    write_file(dir / "empty", "");
    write_file(dir / "notes", "Dear diary,\nno system calls today.\n");
    write_file(dir / "no-y", "5  1.0 close(3) = 0 <0.00001>\n");
    write_file(dir / "no-f", "1.0 close(3</x>) = 0 <0.00001>\n");
    write_file(dir / "bare", "close(3</x>) = 0\n");
    write_file(dir / "binary", std::string("\x7f"
                                           "ELF\x02\x01\x01\0\0\0\n",
                                           11));
    std::filesystem::create_directory(dir / "folder");
    const std::pair<std::string, std::string> cases[] = {
        {"empty", "syscall_timeline: " + (dir / "empty") + ":0: empty: not an strace log\n"},
        {"notes",
         "syscall_timeline: " + (dir / "notes") + ":1: not an strace log line: Dear diary,\n"},
        {"no-y", "syscall_timeline: " + (dir / "no-y") +
                     ":1: trace with -y: descriptors have no targets\n"},
        {"no-f", "syscall_timeline: " + (dir / "no-f") +
                     ":1: not an strace log line (no pid; trace with -f): 1.0 close(3</x>) = 0 "
                     "<0.00001>\n"},
        {"bare", "syscall_timeline: " + (dir / "bare") +
                     ":1: not an strace log line (no pid and no time; trace with -f -ttt): "
                     "close(3</x>) = 0\n"},
        {"binary",
         "syscall_timeline: " + (dir / "binary") + ":1: binary data: not an strace log\n"},
        {"folder", "syscall_timeline: " + (dir / "folder") + ": is a directory\n"},
    };
    for (const auto& [file, message] : cases) {
        Process p({.argv = {BIN_SYSCALL_TIMELINE, dir / file}, .dir = dir.path()});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.err(), message);
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.out(), "");
    }
    // The files that take the steps as they come are not left behind.
    Process streamed({.argv = {BIN_SYSCALL_TIMELINE, "--perfetto", dir / "run.json", "--steps",
                               dir / "steps.json", dir / "notes"},
                      .dir = dir.path()});
    ASSERT_TRUE(streamed.finish());
    EXPECT_EQ(streamed.exit_code(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "run.json"));
    EXPECT_FALSE(std::filesystem::exists(dir / "steps.json"));

    Process bogus({.argv = {BIN_SYSCALL_TIMELINE, "--bogus", "x"}, .dir = dir.path()});
    ASSERT_TRUE(bogus.finish());
    EXPECT_EQ(bogus.err(),
              "syscall_timeline: unknown option: --bogus (see syscall_timeline --help)\n");
    EXPECT_EQ(bogus.exit_code(), 2);

    // A diagram that could not be written is known before the command runs.
    Process nowhere({.argv = {BIN_SYSCALL_TIMELINE, "--svg", dir / "no/such/x.svg", "--",
                              "/bin/touch", dir / "ran"},
                     .dir = dir.path()});
    ASSERT_TRUE(nowhere.finish());
    EXPECT_EQ(nowhere.err(),
              "syscall_timeline: " + (dir / "no/such/x.svg") + ": No such file or directory\n");
    EXPECT_EQ(nowhere.exit_code(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "ran"));
    Process no_folder({.argv = {BIN_SYSCALL_TIMELINE, "--plumbing", dir / "no/such/figures", "--",
                                "/bin/touch", dir / "ran"},
                       .dir = dir.path()});
    ASSERT_TRUE(no_folder.finish());
    EXPECT_EQ(no_folder.err(),
              "syscall_timeline: " + (dir / "no/such/figures") + ": No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "ran"));

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

// --book refuses each lesson folder it cannot use before it traces any:
// one line each, and no page written. So does every other command of the
// project with a wrong command line.
TEST(Timeline, BookRefusesBadFoldersInOneLine)
{
    TempDir dir;
    write_file(dir / "a-file", "");
    std::filesystem::create_directory(dir / "empty");
    std::filesystem::create_directory(dir / "no-trace");
    write_file(dir / "no-trace/command", "./demo x\n");
    write_file(dir / "no-trace/output", "");
    std::filesystem::create_directory(dir / "good");
    write_file(dir / "good/command", "./demo x\n");
    write_file(dir / "good/output", "");
    write_file(dir / "good/01-x.trace", "5 1.0 getpid() = 5 <0.000001>\n");
    const std::pair<std::string, std::string> cases[] = {
        {dir / "missing", "No such file or directory"},
        {dir / "a-file", "not a lesson folder (a folder with traces, as --record makes)"},
        {dir / "empty", "no trace in it"},
        {dir / "no-trace", "no trace in it"},
    };
    for (const auto& [folder, why] : cases) {
        Process p(
            {.argv = {BIN_SYSCALL_TIMELINE, "--book", dir / "book.html", dir / "good", folder},
             .dir = dir.path()});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.err(), "syscall_timeline: " + folder + ": " + why + "\n");
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_FALSE(std::filesystem::exists(dir / "book.html")) << folder;
    }
    Process nowhere(
        {.argv = {BIN_SYSCALL_TIMELINE, "--book", dir / "no/such/book.html", dir / "good"},
         .dir = dir.path()});
    ASSERT_TRUE(nowhere.finish());
    EXPECT_EQ(nowhere.err(),
              "syscall_timeline: " + (dir / "no/such/book.html") + ": No such file or directory\n");
    EXPECT_EQ(nowhere.exit_code(), 1);
    Process good({.argv = {BIN_SYSCALL_TIMELINE, "--book", dir / "book.html", dir / "good"},
                  .dir = dir.path()});
    ASSERT_TRUE(good.finish());
    EXPECT_EQ(good.exit_code(), 0) << good.err();

    // The other commands: a wrong command line is one line on standard
    // error and status 2.
    const std::vector<std::vector<std::string>> wrong = {
        {BIN_SYSCALL_TIMELINE, "--book"},
        {BIN_SYSCALL_TIMELINE, "--svg"},
        {BIN_SYSCALL_TIMELINE},
        {
            BIN_SYSCALL_TIMELINE,
            "--",
        },
        {DEMO_SCRIPT, "--bogus"},
        {DEMO_SCRIPT, "no_such_lesson"},
        {DEMO_SCRIPT, "two_children", "echo_five"},
    };
    for (const auto& argv : wrong) {
        Process p({.argv = argv, .dir = dir.path()});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.exit_code(), 2) << argv.back();
        EXPECT_EQ(std::count(p.err().begin(), p.err().end(), '\n'), 1) << p.err();
        EXPECT_EQ(p.out(), "");
    }
}

// strace -ff writes a file per process, named after its pid, with no pid
// on its lines: such files are merged like several traces. The same file
// given twice is read once, with a word.
TEST(Timeline, ReadsOneFilePerProcessAndEachFileOnce)
{
    TempDir dir;
    write_file(dir / "run.40", "1.0 pipe2([3<pipe:[9]>, 4<pipe:[9]>], 0) = 0 <0.00001>\n"
                               "1.1 clone(child_stack=NULL, flags=SIGCHLD) = 41 <0.0001>\n"
                               "1.3 write(4<pipe:[9]>, \"hi\", 2) = 2 <0.00001>\n");
    write_file(dir / "run.41", "1.2 close(4<pipe:[9]>) = 0 <0.00001>\n"
                               "1.4 read(3<pipe:[9]>, \"hi\", 9) = 2 <0.00001>\n");
    Process p({.argv = {BIN_SYSCALL_TIMELINE, dir / "run.40", dir / "run.41", dir / "run.40"},
               .dir = dir.path()});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_EQ(p.err(), "syscall_timeline: " + (dir / "run.40") + ": given twice, read once\n");
    EXPECT_NE(p.out().find("41 child  closes fd 4 (pipe A, write end)"), std::string::npos)
        << p.out();
    EXPECT_EQ(count(p.out(), "writes 2 bytes to fd 4 (pipe A)"), 1u) << p.out();
    EXPECT_NE(p.out().find("41 child  reads 2 bytes from fd 3 (pipe A)"), std::string::npos);
}

// A command of the user's own, traced by the tool: its output, then the
// timeline; its status is the tool's.
TEST(Timeline, TracesACommandOfTheUsersOwn)
{
    SKIP_WITHOUT_TRACING();
    TempDir dir;
    Process p({.argv = {BIN_SYSCALL_TIMELINE, "--svg", dir / "run.svg", "--plumbing",
                        dir / "figures", "--", BIN_CHILD_TO_PARENT},
               .dir = dir.path(),
               .env = {kNoLeakCheck}});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_EQ(p.out().rfind("El hijo escribe en el PIPE \n", 0), 0u) << p.out();
    EXPECT_NE(p.out().find("writes 10 bytes to fd 4 (pipe A): \"Hola padre\""), std::string::npos)
        << p.out();
    EXPECT_NE(read_file(dir / "run.svg").find("<svg"), std::string::npos);
    // The pipe made, the fork, the closes: a figure each, in that order.
    std::vector<std::string> captions;
    for (int n = 1;; ++n) {
        std::string file = dir / ("figures/plumbing-0" + std::to_string(n) + ".svg");
        if (!std::filesystem::exists(file))
            break;
        std::string svg = read_file(file);
        size_t at = svg.find('>', svg.find("class=\"caption\""));
        captions.push_back(svg.substr(at + 1, svg.find('<', at) - at - 1));
    }
    ASSERT_GE(captions.size(), 3u);
    EXPECT_NE(captions[0].find("makes a pipe: "), std::string::npos) << captions[0];
    EXPECT_EQ(captions[1].rfind("After fork: ", 0), 0u) << captions[1];
    EXPECT_EQ(captions[2].rfind("After the closes: pipe A runs from ", 0), 0u) << captions[2];
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

// --record: the trace goes into the folder under a name in the order of
// recording, and the recorder ends as the command ended.
TEST(Timeline, RecordsIntoAFolder)
{
    SKIP_WITHOUT_TRACING();
    TempDir top;
    // The folder is made, with its parents, as mkdir -p would.
    std::string dir = top / "traces/today";
    for (const char* input : {"1 2 3 4 5\n", "1 2 x\n"}) {
        Process p({.argv = {BIN_SYSCALL_TIMELINE, "--record", dir, "--", BIN_ECHO_FIVE},
                   .dir = top.path(),
                   .input = input,
                   .env = {kNoLeakCheck}});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.exit_code(), input[4] == 'x' ? 1 : 0) << p.err();
    }
    EXPECT_EQ(traces_in(dir),
              (std::vector<std::string>{dir + "/01-echo_five.trace", dir + "/02-echo_five.trace"}));
    auto run = model_of_files({dir + "/02-echo_five.trace"});
    auto exits = steps_of<step::Exit>(run);
    ASSERT_EQ(exits.size(), 2u);
    EXPECT_EQ(exits[0]->as<step::Exit>()->status, 1); // the child, on bad input
}

// Ctrl-C reaches the traced command, not only the tool: the command gets
// the default actions back, ends, and the timeline of what ran still comes.
TEST(Timeline, CtrlCStopsTheTracedCommand)
{
    SKIP_WITHOUT_TRACING();
    TempDir dir;
    Process status(
        {.argv = {BIN_SYSCALL_TIMELINE, "--", "/usr/bin/grep", "SigIgn", "/proc/self/status"},
         .dir = dir.path()});
    ASSERT_TRUE(status.finish());
    EXPECT_EQ(status.out().rfind("SigIgn:\t0000000000000000\n", 0), 0u) << status.out();

    Process p({.argv = {BIN_SYSCALL_TIMELINE, "--", "/bin/sleep", "30"}, .dir = dir.path()});
    // The tool, then strace, then sleep, asleep.
    ASSERT_TRUE(eventually([&] {
        for (pid_t tracer : children(p.pid()))
            for (pid_t command : children(tracer))
                if (auto st = proc_stat(command); st && st->state == 'S')
                    return read_file("/proc/" + std::to_string(command) + "/comm") == "sleep\n";
        return false;
    }));
    p.signal_group(SIGINT);
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 130) << p.err();
    EXPECT_NE(p.out().find("starts: sleep 30"), std::string::npos) << p.out();
    EXPECT_NE(p.out().find("ends: killed by SIGINT"), std::string::npos) << p.out();
}

// Every input the fuzzer keeps (timeline/fuzz/corpus: inputs that once
// crashed the tool or broke its output) goes through the whole tool again.
TEST(Timeline, FuzzCorpusReplays)
{
    for (const char* kept : {"/timeline/fuzz/corpus", "/timeline/fuzz/seeds"}) {
        size_t inputs = 0;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(SOURCE_DIR) + kept)) {
            EXPECT_EQ(timeline::fuzz::exercise(read_file(entry.path().string())), "")
                << entry.path();
            ++inputs;
        }
        EXPECT_GT(inputs, 0u) << kept;
    }
}

// Whatever bytes a trace holds (an ESC in a command line, a file name that
// is not UTF-8, a surrogate in the data), the terminal gets them escaped
// and the diagram stays well-formed XML.
TEST(Timeline, HostileBytesStaySafe)
{
    TempDir dir;
    const std::string hostile =
        "7  1.0 execve(\"./a\\33[2Jb\", [\"./a\\33[2Jb\", \"\\377\\376\"], 0x0 /* 1 var */) = 0 "
        "<0.0001>\n"
        "7  1.1 openat(AT_FDCWD</tmp/\xff\xfe>, \"\\33]0;x\\7\", O_RDONLY) = "
        "3</tmp/\xff\xfe/\x1b]0;x\x07> <0.0001>\n"
        "7  1.2 write(1</dev/pts/0>, \"\\355\\240\\200\\300\\257\\302\\233\\33[31m\", 12) = 12 "
        "<0.0001>\n";
    write_file(dir / "hostile.trace", hostile);
    write_file(dir / "bogus.trace", hostile + "7  1.3 \x1b[2Jbogus(\x01) = 0\n");
    Process refused({.argv = {BIN_SYSCALL_TIMELINE, dir / "bogus.trace"}, .dir = dir.path()});
    ASSERT_TRUE(refused.finish());
    EXPECT_EQ(refused.exit_code(), 1);
    EXPECT_EQ(refused.err(), "syscall_timeline: " + (dir / "bogus.trace") +
                                 ":4: not an strace log line: 7  1.3 \\e[2Jbogus(\\x01) = 0\n");

    Process p({.argv = {BIN_SYSCALL_TIMELINE, "--svg", dir / "run.svg", dir / "hostile.trace"},
               .dir = dir.path()});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_TRUE(timeline::fuzz::safe_for_terminal(p.out())) << p.out();
    EXPECT_NE(p.out().find("starts: ./a\\e[2Jb \\xff\\xfe"), std::string::npos) << p.out();
    EXPECT_NE(p.out().find("\\xed\\xa0\\x80\\xc0\\xaf\\xc2\\x9b\\e[31m"), std::string::npos)
        << p.out();
    Process lint({.argv = {"/usr/bin/xmllint", "--noout", dir / "run.svg"}, .dir = dir.path()});
    ASSERT_TRUE(lint.finish());
    EXPECT_EQ(lint.exit_code(), 0) << lint.err();
}

// The descriptor figures of the kept lessons: the classifier reads FIFOVEK
// while each writer holds its write end; list_files's figure after exec
// names ls; the ends after the last call are the timeline's to tell.
TEST(Timeline, PlumbingOfAFifoAndAnExec)
{
    const std::string root = TRACE_FIXTURES;
    auto fifo = model_of_files({root + "/phrase_classifier/01-phrase_classifier.trace",
                                root + "/phrase_classifier/02-send_digits.trace"});
    bool joined = false;
    for (const auto& moment : fifo.plumbing())
        joined = joined ||
                 timeline::plumbing_caption(moment).find("FIFOVEK runs from ") != std::string::npos;
    EXPECT_TRUE(joined);
    ASSERT_FALSE(fifo.plumbing().empty());
    EXPECT_NE(fifo.plumbing().back().change, timeline::PlumbingChange::end);

    auto exec = model_of_files({root + "/list_files/01-list_files.trace"});
    ASSERT_FALSE(exec.plumbing().empty());
    EXPECT_EQ(exec.plumbing().back().change, timeline::PlumbingChange::exec);
    EXPECT_EQ(exec.plumbing().back().processes.at(0).program, "ls");
    EXPECT_NE(timeline::plumbing_caption(exec.plumbing().back()).find(" runs ls, "),
              std::string::npos);
}

// The figures are the world log's tables after each moment's step: a FIFO
// the kernel names only as the call returns is drawn as a FIFO. Of a FIFO
// the run did not make, what the trace cannot see is not claimed: the
// writer's open found a reader (outside the trace), and the bytes in it
// may be others' too.
TEST(Timeline, FiguresClaimNothingOfWhatIsOutsideTheTrace)
{
    const std::string root = TRACE_FIXTURES;
    auto writer = model_of_files({root + "/send_greeting/01-send_greeting.trace"});
    ASSERT_FALSE(writer.plumbing().empty());
    std::string figure = timeline::plumbing_svg(writer.plumbing().front(), "send_greeting");
    EXPECT_NE(figure.find("fd 3: FIFO FIFO2, write end"), std::string::npos) << figure;
    EXPECT_NE(figure.find("FIFO FIFO2: no reader in the trace, "), std::string::npos) << figure;
    EXPECT_EQ(figure.find("no reader left"), std::string::npos) << figure;
    EXPECT_EQ(figure.find("class=\"in-flight\""), std::string::npos) << figure;

    // The demo hands echo_five its numbers through a FIFO: drawn as one,
    // with nothing said of what is in it.
    auto given = model_of_files({root + "/echo_five/01-echo_five.trace"});
    ASSERT_FALSE(given.plumbing().empty());
    figure = timeline::plumbing_svg(given.plumbing().front(), "echo_five");
    EXPECT_NE(figure.find("fd 0: FIFO numbers"), std::string::npos) << figure;
    size_t object = figure.find(">FIFO numbers</text>\n");
    ASSERT_NE(object, std::string::npos) << figure;
    size_t box = figure.rfind("<rect ", object);
    EXPECT_NE(figure.substr(box, object - box).find("rx=\"17\""), std::string::npos)
        << figure; // drawn as a channel of data
    EXPECT_EQ(figure.compare(object, 25, ">FIFO numbers</text>\n</g>"), 0) << figure;
}

// A pipe closed everywhere is forgotten: a new pipe that the kernel gives
// the same number is pipe B. What -yy adds to a device's path is dropped.
// A system program's child stays hidden with it, and is no zombie.
TEST(Timeline, NamesAfterReuseDevicesAndHiddenChildren)
{
    auto run = model("5  1.0 execve(\"/tmp/mine\", [\"mine\"], 0x0) = 0 <0.0001>\n"
                     "5  1.1 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.00001>\n"
                     "5  1.2 close(3<pipe:[7]>) = 0 <0.00001>\n"
                     "5  1.3 close(4<pipe:[7]>) = 0 <0.00001>\n"
                     "5  1.4 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.00001>\n"
                     "5  1.5 write(1</dev/pts/0<char 136:0>>, \"a\", 1) = 1 <0.00001>\n"
                     "5  1.6 write(2</dev/null<char 1:3>>, \"b\", 1) = 1 <0.00001>\n"
                     "5  1.7 execve(\"/usr/bin/python3\", [\"python3\"], 0x0) = 0 <0.0001>\n"
                     "5  1.8 clone(child_stack=NULL, flags=SIGCHLD) = 6 <0.0001>\n"
                     "6  1.9 write(1</dev/pts/0<char 136:0>>, \"c\", 1) = 1 <0.00001>\n"
                     "6  2.0 exit_group(0) = ?\n"
                     "6  2.0 +++ exited with 0 +++\n");
    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("creates pipe B: fd 3 reads, fd 4 writes"), std::string::npos) << text;
    EXPECT_NE(text.find("writes 1 byte to fd 1 (the terminal): \"a\""), std::string::npos) << text;
    EXPECT_NE(text.find("writes 1 byte to fd 2 (/dev/null): \"b\""), std::string::npos) << text;
    EXPECT_NE(text.find("python3 6  "), std::string::npos) << "the child is python3's:\n" << text;
    EXPECT_EQ(text.find("zombie"), std::string::npos) << text;
}

// A read or a wait that blocked says how long (from strace's -T), after
// what it took; one that did not says nothing more.
TEST(Timeline, BlockedCallsSayHowLong)
{
    auto run = model("5  1.000 clone(child_stack=NULL, flags=SIGCHLD) = 6 <0.0001>\n"
                     "6  1.001 read(0</tmp/numbers>, \"1 2\\n\", 64) = 4 <0.152000>\n"
                     "6  1.153 read(0</tmp/numbers>, \"\", 64) = 0 <0.000010>\n"
                     "6  1.154 exit_group(0) = ?\n"
                     "6  1.154 +++ exited with 0 +++\n"
                     "5  1.001 wait4(-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 0}], 0, NULL) = 6 "
                     "<0.155000>\n");
    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("reads 4 bytes from fd 0 (numbers): \"1 2\\n\" (waited 152.0 ms)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("read returned 0 on fd 0 (numbers): end of input\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("; it was a zombie for 2.0 ms (the parent waited 155.0 ms)\n"),
              std::string::npos)
        << text;
}

// A failed call says so; an exit status is what the kernel keeps; a PATH
// search is one step; a file name with brackets, quotes or '>' (written
// \76) is read whole; a thread's exec ("superseded") is no refusal.
TEST(Timeline, SaysWhatFailedAndWhatTheKernelKept)
{
    auto run = model(
        "9  1.0 execve(\"/usr/local/bin/ls\", [\"ls\"], 0x0 /* 1 var */) = -1 ENOENT (No such "
        "file or directory) <0.0001>\n"
        "9  1.1 execve(\"/usr/sbin/ls\", [\"ls\"], 0x0 /* 1 var */) = -1 ENOENT (No such file or "
        "directory) <0.0001>\n"
        "9  1.2 execve(\"/tmp/mine\", [\"/tmp/mine\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
        "9  1.3 close(-1) = -1 EBADF (Bad file descriptor) <0.00001>\n"
        "9  1.4 openat(AT_FDCWD</tmp/a(b>, \"x\\\"{y\", O_RDONLY) = 3</tmp/a(b/x\\\"{\\76y> "
        "<0.0001>\n"
        "9  1.5 read(3</tmp/a(b/x\\\"{\\76y>, \"hi\", 9) = 2 <0.00001>\n"
        "10  1.55 +++ superseded by execve +++\n"
        "9  1.6 exit_group(-1) = ?\n"
        "9  1.7 +++ exited with 255 +++\n");
    std::string text = timeline::text_timeline(run, "t");
    for (const char* line :
         {"execve ls fails in 2 places along PATH (last /usr/sbin/ls): ENOENT", "starts: mine",
          "closes fd -1: fails, EBADF", "reads 2 bytes from fd 3 (x\"{>y): \"hi\"",
          "exit(-1): ends with status 255"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(count(text, "execve"), 1u) << text;
}

// A shell pipeline: after exec, the reads and writes of sort and head on
// the pipes that join them to the other traced processes are shown, with
// their data arrows; their other calls are counted.
TEST(Timeline, FollowsDataThroughAShellPipeline)
{
    SKIP_WITHOUT_TRACING();
    TempDir dir;
    Process p({.argv = {BIN_SYSCALL_TIMELINE, "--", "/bin/sh", "-c",
                        "printf 'b\\na\\n' | sort | head -n 1"},
               .dir = dir.path()});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    EXPECT_EQ(p.out().rfind("a\n", 0), 0u) << p.out();
    const std::regex sort_reads(
        R"(sort \d+ child +reads 4 bytes from fd 0 \(pipe A\): "b\\na\\n")");
    const std::regex sort_writes(
        R"(sort \d+ child +writes 4 bytes to fd 1 \(pipe B\): "a\\nb\\n")");
    const std::regex head_reads(R"(head \d+ child +reads 4 bytes from fd 0 \(pipe B\))");
    for (const auto& expected : {sort_reads, sort_writes, head_reads})
        EXPECT_TRUE(std::regex_search(p.out(), expected)) << p.out();
    EXPECT_NE(p.out().find("sort ran: "), std::string::npos);
}

// A child stopped and continued, watched with waitpid; a child polled with
// WNOHANG and then killed; one collected through waitid; exit(-1).
TEST(Timeline, StopContinuePollAndKill)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_STOP_AND_CONTINUE);
    std::string text = timeline::text_timeline(run, "t");
    int parent = run.processes().at(0).pid;
    int stopper = run.processes().at(1).pid;
    int sleeper = run.processes().at(2).pid;
    auto has = [&](const std::string& line) { return text.find(line) != std::string::npos; };
    for (const std::string& line : std::vector<std::string>{
             "stopped by SIGSTOP: runs again at SIGCONT",
             "wait() reports child " + std::to_string(stopper) + " stopped by SIGSTOP",
             "receives SIGCONT from pid " + std::to_string(parent) + ": runs again",
             "wait() reports child " + std::to_string(stopper) + " continued",
             "receives SIGCHLD: its child " + std::to_string(stopper) + " stopped",
             "wait() collects child " + std::to_string(stopper) + ", which exited with status 3",
             "asks 5 times: nothing to collect yet",
             "wait() collects child " + std::to_string(sleeper) + ", which was killed by SIGKILL",
             "exit(-1): ends with status 255"})
        EXPECT_TRUE(has(line)) << line << "\n" << text;
    EXPECT_EQ(steps_of<step::Zombie>(run).size(), 0u) << text;
    // Each kill of another process draws an arrow to the signal's arrival,
    // or to the end that SIGKILL makes.
    std::vector<std::pair<int, std::string>> arrows;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::signal && run.steps()[a.from].pid == parent)
            arrows.emplace_back(run.steps()[a.to].pid, timeline::describe(run, a.to));
    EXPECT_EQ(arrows,
              (std::vector<std::pair<int, std::string>>{
                  {stopper, "receives SIGCONT from pid " + std::to_string(parent) + ": runs again"},
                  {sleeper, "ends: killed by SIGKILL"}}))
        << text;
}

// Threads are threads: a lane each, sharing the process's descriptors,
// never children and never zombies. posix_spawn reads as what it does.
TEST(Timeline, ThreadsAndSpawnedPrograms)
{
    SKIP_WITHOUT_TRACING();
    auto threads = traced(TRACED_THREADS);
    std::string text = timeline::text_timeline(threads, "threads");
    const std::regex second(R"(threads (\d+) thread 2 +writes 2 bytes to fd 4 \(pipe A\): "a\\n")");
    const std::regex third(R"(threads (\d+) thread 3 +writes 2 bytes to fd 4 \(pipe A\): "b\\n")");
    EXPECT_TRUE(std::regex_search(text, second)) << text;
    EXPECT_TRUE(std::regex_search(text, third)) << text;
    EXPECT_NE(text.find("reads 4 bytes from fd 3 (pipe A): \"a\\nb\\n\""), std::string::npos);
    EXPECT_TRUE(steps_of<step::Zombie>(threads).empty()) << text;
    EXPECT_TRUE(steps_of<step::Fork>(threads).empty()) << text;
    EXPECT_EQ(steps_of<step::NewThread>(threads).size(), 2u);
    for (const auto& p : threads.processes())
        EXPECT_FALSE(p.child) << p.pid;

    // posix_spawnp searches PATH in the child, before its parent's clone
    // returns: the birth still comes first, then the search in one line.
    // strace cannot unwind the spawn's stack (it runs on one of its own):
    // the call before it, in the same library function, tells its line.
    TempDir dir;
    Process spawned({.argv = {BIN_SYSCALL_TIMELINE, "--", TRACED_SPAWN_TRUE},
                     .dir = dir.path(),
                     .env = {"PATH=/no/such:/also/none:/usr/bin:/bin", kNoLeakCheck}});
    ASSERT_TRUE(spawned.finish());
    const std::string& out = spawned.out();
    const std::regex spawns(R"(spawns true as child (\d+)(  \[spawn_true\.c:12\])?\n)");
    std::smatch child;
    ASSERT_TRUE(std::regex_search(out, child, spawns)) << out;
    if (timeline::SourceLines::available()) {
        EXPECT_TRUE(child[2].matched) << out;
    }
    size_t born = out.find(child[1].str() + " child  is born in the memory of");
    size_t search = out.find("looks for true along PATH: not in 2 places (last /also/none/true)");
    size_t becomes = out.find("becomes true: execve /usr/bin/true");
    EXPECT_LT(size_t(child.position(0)), born) << out;
    EXPECT_LT(born, search) << out;
    EXPECT_LT(search, becomes) << out;
    EXPECT_NE(becomes, std::string::npos) << out;
    EXPECT_EQ(out.find("a copy of"), std::string::npos) << out;
}

// A socket pair is named like a pipe, and the bytes sent at one end are
// followed to the read at the other, both ways.
TEST(Timeline, SocketPairCarriesData)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_SOCKET_PAIR);
    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("creates socket pair A: fds 3 and 4, each end reads and writes"),
              std::string::npos)
        << text;
    std::vector<std::string> carried;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::data)
            carried.push_back(run.steps()[a.from].as<step::Transfer>()->data + " to " +
                              std::to_string(run.steps()[a.to].pid));
    int parent = run.processes().at(0).pid;
    int child = run.processes().at(1).pid;
    EXPECT_EQ(carried, (std::vector<std::string>{"ping to " + std::to_string(parent),
                                                 "pong to " + std::to_string(child)}))
        << text;
    // Its figure says what was made: no pipe.
    ASSERT_FALSE(run.plumbing().empty());
    std::string caption = timeline::plumbing_caption(run.plumbing().front());
    EXPECT_EQ(caption.rfind("After " + std::to_string(parent) + " makes a socket pair", 0), 0U)
        << caption;
}

// A connected socket is one channel, whichever end -yy names it by, and
// an eventfd's counter goes from its writer to its reader as bytes do.
TEST(Timeline, ConnectedSocketAndCounterCarryData)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_UNIX_SOCKET);
    std::string text = timeline::text_timeline(run, "t");
    int parent = run.processes().at(0).pid;
    int child = run.processes().at(1).pid;
    std::vector<std::string> carried;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::data)
            carried.push_back(timeline::channel_name(run.channels()[*a.channel]) + ": " +
                              std::to_string(run.steps()[a.from].pid) + " to " +
                              std::to_string(run.steps()[a.to].pid));
    std::sort(carried.begin(), carried.end());
    std::string connection = "socket " + std::to_string(run.channels().size()); // the last named
    ASSERT_EQ(carried.size(), 2U) << text;
    EXPECT_EQ(carried[0], "eventfd: " + std::to_string(child) + " to " + std::to_string(parent))
        << text;
    EXPECT_EQ(carried[1].substr(carried[1].find(':')),
              ": " + std::to_string(child) + " to " + std::to_string(parent))
        << text;
    EXPECT_EQ(carried[1].rfind("socket ", 0), 0U) << text;
    EXPECT_NE(text.find("writes 4 bytes to fd 5 (socket"), std::string::npos) << text;
    EXPECT_EQ(text.find("UNIX-STREAM"), std::string::npos) << "a socket shown raw:\n" << text;

    // The client may send and end before the server accepts: strace then
    // names the accepted end alone, and it is still the same connection.
    auto early = model("5  1.0 socket(AF_UNIX, SOCK_STREAM, 0) = 4<UNIX-STREAM:[100]> <0.0001>\n"
                       "5  1.1 clone(child_stack=NULL, flags=SIGCHLD) = 6 <0.0001>\n"
                       "6  1.2 socket(AF_UNIX, SOCK_STREAM, 0) = 5<UNIX-STREAM:[200]> <0.0001>\n"
                       "6  1.4 write(5<UNIX-STREAM:[200->300]>, \"ping\", 4) = 4 <0.0001>\n"
                       "6  1.5 exit_group(0) = ?\n"
                       "6  1.5 +++ exited with 0 +++\n"
                       "5  1.6 accept(4<UNIX-STREAM:[100,\"s\"]>, NULL, NULL) = "
                       "5<UNIX-STREAM:[300,\"s\"]> <0.0001>\n"
                       "5  1.7 read(5<UNIX-STREAM:[300,\"s\"]>, \"ping\", 8) = 4 <0.0001>\n");
    std::string early_text = timeline::text_timeline(early, "t");
    EXPECT_NE(early_text.find("accepts a connection on fd 4: fd 5 (socket 2)"), std::string::npos)
        << early_text;
    std::vector<std::string> leads;
    for (const auto& moment : early.plumbing()) {
        std::string caption = timeline::plumbing_caption(moment);
        leads.push_back(caption.substr(0, caption.find(':')));
    }
    for (const char* lead :
         {"After 5 makes a socket", "After 6 makes a socket", "After 5 accepts a connection"})
        EXPECT_NE(std::find(leads.begin(), leads.end(), lead), leads.end()) << lead;
    EXPECT_EQ(std::count_if(early.arrows().begin(), early.arrows().end(),
                            [](const Arrow& a) { return a.kind == Arrow::Kind::data; }),
              1)
        << early_text;

    // When no name joins the two ends, the accepted one is the oldest
    // client that connected to the address the listening socket is bound to.
    auto alone =
        model("5  1.0 socket(AF_UNIX, SOCK_STREAM, 0) = 4<UNIX-STREAM:[100]> <0.0001>\n"
              "5  1.01 bind(4<UNIX-STREAM:[100]>, {sa_family=AF_UNIX, sun_path=\"s\"}, 110) = 0 "
              "<0.0001>\n"
              "5  1.1 clone(child_stack=NULL, flags=SIGCHLD) = 6 <0.0001>\n"
              "6  1.2 socket(AF_UNIX, SOCK_STREAM, 0) = 5<UNIX-STREAM:[200]> <0.0001>\n"
              "6  1.3 connect(5<UNIX-STREAM:[200]>, {sa_family=AF_UNIX, sun_path=\"s\"}, 110) = 0 "
              "<0.0001>\n"
              "6  1.4 write(5<UNIX-STREAM:[200]>, \"ping\", 4) = 4 <0.0001>\n"
              "6  1.5 exit_group(0) = ?\n"
              "6  1.5 +++ exited with 0 +++\n"
              "5  1.6 accept(4<UNIX-STREAM:[100,\"s\"]>, NULL, NULL) = 5<UNIX-STREAM:[300,\"s\"]> "
              "<0.0001>\n"
              "5  1.7 read(5<UNIX-STREAM:[300,\"s\"]>, \"ping\", 8) = 4 <0.0001>\n");
    std::string alone_text = timeline::text_timeline(alone, "t");
    EXPECT_NE(alone_text.find("reads 4 bytes from fd 5 (socket 2): \"ping\""), std::string::npos)
        << alone_text;
    EXPECT_EQ(std::count_if(alone.arrows().begin(), alone.arrows().end(),
                            [](const Arrow& a) { return a.kind == Arrow::Kind::data; }),
              1)
        << alone_text;
}

// A copy whose sizes keep changing: `pairs` reads and writes that never
// fold, after the program's start; no end.
std::string copy_trace(int pairs)
{
    std::string trace = "7 1000.000000 execve(\"/bin/copy\", [\"copy\"], 0x0) = 0 <0.0001>\n";
    for (int i = 0; i < pairs; ++i) {
        std::string data = std::string("abcdefg").substr(0, size_t(i % 7 + 1));
        std::string n = std::to_string(data.size());
        std::string time = "1000." + std::to_string(100000 + i);
        trace += "7 " + time + " read(3<pipe:[11]>, \"" + data + "\", 64) = " + n + " <0.000001>\n";
        trace += "7 " + time + " write(4<pipe:[12]>, \"" + data + "\", " + n + ") = " + n +
                 " <0.000001>\n";
    }
    return trace;
}

// A trace longer than what is held for its totals goes out as it is read,
// from a reading thread, and says what a run that keeps every step says:
// the totals last. A bad line far into it, found by that thread, still
// ends the tool with its number and status 1.
TEST(Timeline, LongTraceStreamsAsAKeptRunTellsIt)
{
    TempDir dir;
    std::string trace = copy_trace(10000); // 20,001 lines
    harness::write_file(dir / "part.trace", trace);
    Process streamed({.argv = {BIN_SYSCALL_TIMELINE, dir / "part.trace"}, .dir = dir.path()});
    ASSERT_TRUE(streamed.finish(kDeadline));
    const std::string& out = streamed.out();
    EXPECT_EQ(out.substr(0, out.find('\n')), "part.trace: a long trace, its totals at the end");
    EXPECT_TRUE(out == timeline::text_timeline(model(trace), "part.trace"));

    harness::write_file(dir / "bad.trace", trace + "garbage\n" + trace);
    Process bad({.argv = {BIN_SYSCALL_TIMELINE, dir / "bad.trace"}, .dir = dir.path()});
    ASSERT_TRUE(bad.finish(kDeadline));
    EXPECT_EQ(bad.exit_code(), 1);
    EXPECT_EQ(bad.err(), "syscall_timeline: " + (dir / "bad.trace") +
                             ":20002: not an strace log line: garbage\n");
}

// A long trace goes through in memory that does not grow with it: 200,000
// steps under a limit of 24 MB of data, where keeping every step took over
// 60 MB. Under a small enough limit no thread can be made, and the tool
// reads without one.
TEST(Timeline, LongTraceStreamsInBoundedMemory)
{
    if (kSanitizedBuild)
        GTEST_SKIP() << "a sanitizer's shadow memory needs more than any small limit";
    TempDir dir;
    std::string trace = copy_trace(100000);
    harness::write_file(dir / "long.trace", trace);
    harness::write_file(dir / "short.trace", trace.substr(0, 2000));
    auto limited = [](rlim_t bytes) {
        return [bytes] {
            rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_DATA, &limit);
        };
    };
    Process p({.argv = {BIN_SYSCALL_TIMELINE, dir / "long.trace"},
               .dir = dir.path(),
               .before_exec = limited(rlim_t(24) << 20)});
    ASSERT_TRUE(p.finish(60s));
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    const std::string& out = p.out();
    // The steps: its start, the reads and writes, and "still running".
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 200002 + 3); // + heads, totals
    std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("long.trace: 1 process, 200002 steps, ", 0), 0U) << last;

    Process small({.argv = {BIN_SYSCALL_TIMELINE, dir / "short.trace"},
                   .dir = dir.path(),
                   .before_exec = limited(rlim_t(4) << 20)});
    ASSERT_TRUE(small.finish(kDeadline));
    EXPECT_EQ(small.exit_code(), 0) << small.err();
    EXPECT_EQ(small.out().rfind("short.trace: 1 process, ", 0), 0U) << small.out();
}

// Past its first 1500 rows the diagram draws nothing, and only processes
// with a step among those rows get a lane.
TEST(Timeline, DiagramDrawsLanesOnlyForItsRows)
{
    std::string trace;
    for (int child = 2; child < 802; ++child)
        trace += "1  1." + std::to_string(child) +
                 " clone(child_stack=NULL, flags=SIGCHLD) = " + std::to_string(child) +
                 " <0.00001>\n";
    auto run = model(trace); // a fork and a birth each, then the end: over 1600 steps
    std::string svg = timeline::svg_diagram(run, "forks");
    EXPECT_EQ(count(svg, "class=\"lane\""), 751u); // the parent and 750 children
    EXPECT_NE(svg.find(" more steps not drawn: see the timeline"), std::string::npos);
}

// strace -k writes each call's stack under its line (the first, the
// program's own execve, in the loader); a write told as it
// starts gets its stack when it returns, after other processes' lines.
// Frames in shared libraries never name a line, and a frame line that is
// not one is refused.
TEST(Timeline, StacksTellEachCallsLine)
{
    const std::string trace =
        "10 0.900000 execve(\"/home/ana/lesson\", [\"lesson\"], 0x7ffd /* 9 vars */) = 0 "
        "<0.000100>\n"
        " > /usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2(_dl_catch_error+0x26f0) [0x1ab70]\n"
        "10 1.000000 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.000010>\n"
        " > /usr/lib/x86_64-linux-gnu/libc.so.6(__pipe+0x9) [0xf8b09]\n"
        " > /home/ana/lesson(main+0x84) [0x1b]\n"
        " > /home/ana/lesson(_start+0x21) [0x99]\n"
        "10 1.000100 write(4<pipe:[7]>, \"hi\", 2 <unfinished ...>\n"
        "11 1.000150 getpid() = 11 <0.000001>\n"
        " > /home/ana/lesson(main+0x10) [0x2c]\n"
        "10 1.000200 <... write resumed>) = 2 <0.000100>\n"
        " > /usr/lib/x86_64-linux-gnu/libc.so.6(__write+0x10) [0xf8350]\n"
        " > /home/ana/lesson(check()::{lambda()#1}::_FUN()+0x10) [0x3d]\n"
        "10 1.000300 close(3<pipe:[7]>) = 0 <0.000001>\n"
        " > /usr/lib/x86_64-linux-gnu/libc.so.6(__close+0x10) [0xf89f0]\n"
        "10 1.000400 exit_group(0) = ?\n"
        "10 1.000500 +++ exited with 0 +++\n";
    timeline::Run run;
    std::vector<std::string> objects;
    run.set_source_of([&](const std::vector<timeline::Frame>& frames) {
        objects.push_back(frames.front().object);
        return timeline::SourceLine{"lesson.cpp", int(frames.front().offset)};
    });
    for (const auto& e : read_all(trace))
        run.add(e);
    run.finish();
    auto line = [&](const Step* s) { return s->source ? s->source->line : 0; };
    ASSERT_EQ(steps_of<step::Pipe>(run).size(), 1u);
    EXPECT_EQ(line(steps_of<step::Pipe>(run)[0]), 0x1b);
    ASSERT_EQ(steps_of<step::Transfer>(run).size(), 1u);
    EXPECT_EQ(line(steps_of<step::Transfer>(run)[0]), 0x3d);
    ASSERT_EQ(steps_of<step::AskPid>(run).size(), 1u);
    EXPECT_EQ(line(steps_of<step::AskPid>(run)[0]), 0x2c);
    ASSERT_EQ(steps_of<step::Close>(run).size(), 1u);
    EXPECT_EQ(line(steps_of<step::Close>(run)[0]), 0);
    EXPECT_EQ(objects, (std::vector<std::string>(3, "/home/ana/lesson")));
    EXPECT_NE(timeline::text_timeline(run, "t").find("  [lesson.cpp:27]\n"), std::string::npos);

    EXPECT_THROW(read_all("10 1.0 getpid() = 10 <0.000001>\n > what\n"), timeline::TraceError);
    EXPECT_THROW(read_all(" > /bin/x(main+0x1) [0x10]\n"), timeline::TraceError);
    // A trace cut inside its last frame keeps the call.
    auto cut = read_all("10 1.0 getpid() = 10 <0.000001>\n > /bin/x(main+0x1) [0x");
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_TRUE(std::get<timeline::CodeAt>(cut[1].what).frames.empty());
}

// --source: each file once, the program's own first, every line numbered,
// each call under the line that made it; a file not found here still
// gives its lines' calls.
TEST(Timeline, SourceViewPutsEachCallUnderItsLine)
{
    TempDir dir;
    write_file(dir / "lesson.cpp", "int main()\n{\n    pipe(fds);\n    close(fds[0]);\n}\n");
    const std::string trace = "10 0.9 execve(\"/l\", [\"l\"], 0x7ffd /* 9 vars */) = 0 <0.000100>\n"
                              " > /lib/ld-linux-x86-64.so.2(_dl_start+0x1) [0x1]\n"
                              "10 1.0 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.000010>\n"
                              " > /l(main+0x1) [0x3]\n"
                              "10 1.1 close(3<pipe:[7]>) = 0 <0.000001>\n"
                              " > /l(main+0x2) [0x4]\n"
                              "10 1.2 getpid() = 10 <0.000001>\n"
                              " > /l(helper+0x2) [0x9]\n"
                              "10 1.3 +++ exited with 0 +++\n";
    timeline::Run run;
    run.set_source_of([&](const std::vector<timeline::Frame>& frames) {
        int line = int(frames.front().offset);
        return timeline::SourceLine{line == 9 ? dir / "gone.hpp" : dir / "lesson.cpp", line};
    });
    for (const auto& e : read_all(trace))
        run.add(e);
    run.finish();
    std::string text = timeline::source_text(run, "l");
    size_t pipe_line = text.find("    3      pipe(fds);\n");
    size_t close_line = text.find("    4      close(fds[0]);\n");
    ASSERT_NE(pipe_line, std::string::npos) << text;
    ASSERT_NE(close_line, std::string::npos) << text;
    size_t pipe_call = text.find("creates pipe A");
    EXPECT_TRUE(pipe_line < pipe_call && pipe_call < close_line) << text;
    EXPECT_GT(text.find("closes fd 3 (pipe A, read end)"), close_line) << text;
    size_t header = text.find(dir / "gone.hpp" + ": not found here; its lines:\n9\n");
    EXPECT_GT(header, close_line) << text;
    EXPECT_NE(text.find("getpid() = 10", header), std::string::npos) << text;
    // Every step appears: its start and end, which no line made, close it.
    size_t unplaced = text.find("\nsteps that no line of the source made:\n");
    EXPECT_GT(unplaced, header) << text;
    EXPECT_NE(text.find("ends: exited with status 0", unplaced), std::string::npos) << text;

    // A frame may name anything: a FIFO is not opened to wait for a writer.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    timeline::SourceLines lines;
    EXPECT_FALSE(lines.of({{dir / "fifo", 16}, {dir / "lesson.cpp", 1}}));

    timeline::Run bare = model("10 1.0 getpid() = 10 <0.000001>\n");
    EXPECT_NE(timeline::source_text(bare, "l").find("no call knows its line"), std::string::npos);
}

// A glossary word is linked where it first stands as a word in running
// text: not in a tag, a script, a drawing or a link, not inside a longer
// word; once.
TEST(Timeline, GlossaryLinksFirstUses)
{
    std::set<std::string_view> linked;
    std::string html = timeline::link_first_uses(
        "<p title=\"a zombie\">Bagpipes.</p><script>zombie</script><svg><text>zombie</text></svg>"
        "<a href=\"#x\">zombie</a><p>Zombies wait; a zombie too, and pipe A.</p>",
        linked);
    EXPECT_EQ(html, "<p title=\"a zombie\">Bagpipes.</p><script>zombie</script>"
                    "<svg><text>zombie</text></svg><a href=\"#x\">zombie</a><p><a class=\"term\" "
                    "href=\"#term-zombie\">Zombies</a> wait; a zombie too, and <a class=\"term\" "
                    "href=\"#term-pipe\">pipe</a> A.</p>");
    EXPECT_TRUE(linked.contains("zombie"));
    // A later part of the same book links only what is left.
    EXPECT_EQ(timeline::link_first_uses("<p>a zombie</p>", linked), "<p>a zombie</p>");
    std::string glossary = timeline::glossary_html();
    for (const auto& term : timeline::glossary())
        EXPECT_NE(glossary.find("id=\"term-" + std::string(term.id) + "\""), std::string::npos);
}

// Words wrap at blanks into whole UTF-8 characters; past the last line
// allowed, one "…" says the rest is cut.
TEST(Timeline, WrapsWholeCharacters)
{
    using timeline::wrap;
    EXPECT_EQ(wrap("leído del pipe: Hola padre", 10),
              (std::vector<std::string>{"leído del ", "pipe: ", "Hola padre"}));
    EXPECT_EQ(wrap("abcdefghijklmnopqrstuvwxyz", 10),
              (std::vector<std::string>{"abcdefghij", "klmnopqrst", "uvwxyz"}));
    EXPECT_EQ(wrap("one two three four five six", 8, 2),
              (std::vector<std::string>{"one two ", "three f\xe2\x80\xa6"}));
}

// The notes' few marks of writing become HTML; what they quote is escaped.
TEST(Timeline, NotesBecomeHtml)
{
    EXPECT_EQ(timeline::notes_html("A `<pipe>` made *before*\nfork.\n\n- one `x`\n- two\n\nEnd.\n"),
              "<p>A <code>&lt;pipe&gt;</code> made <em>before</em> fork.</p>\n"
              "<ul>\n<li>one <code>x</code></li>\n<li>two</li>\n</ul>\n<p>End.</p>\n");
    EXPECT_EQ(timeline::notes_html("a * b and `c"), "<p>a * b and `c</p>\n");
}

// A program started again after all before it ended is a run of its own,
// its pipes named afresh; a round of steps repeated unchanged is drawn
// once and counted; a lock and the working folder are said in words.
TEST(Timeline, RunsAgainRepeatedRoundsAndLocks)
{
    std::string trace =
        "10 1.0 openat(AT_FDCWD</tmp/tmp.Xy>, \".\", O_RDONLY|O_DIRECTORY) = 3</tmp/tmp.Xy> "
        "<0.000010>\n"
        "10 1.1 flock(3</tmp/tmp.Xy>, LOCK_EX|LOCK_NB) = 0 <0.000010>\n"
        "10 1.2 pipe2([4<pipe:[7]>, 5<pipe:[7]>], 0) = 0 <0.000010>\n";
    double t = 1.3;
    for (int round = 0; round < 5; ++round) {
        trace += "10 " + std::to_string(t) + " getppid() = 9 <0.000001>\n";
        trace +=
            "10 " + std::to_string(t + 0.01) +
            " clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0}, NULL) = 0 <1.000000>\n";
        t += 1.02;
    }
    trace += "10 9.0 exit_group(0) = ?\n10 9.0 +++ exited with 0 +++\n"
             "20 10.0 pipe2([3<pipe:[8]>, 4<pipe:[8]>], 0) = 0 <0.000010>\n"
             "20 10.05 write(1</tmp/pipes.log>, \"x\", 1) = 1 <0.000001>\n"
             "20 10.1 exit_group(0) = ?\n20 10.1 +++ exited with 0 +++\n";
    auto run = model(trace);
    EXPECT_EQ(run.runs(), 2);
    ASSERT_EQ(run.processes().size(), 2u);
    EXPECT_EQ(run.processes()[1].run, 2);
    auto pipes = steps_of<step::Pipe>(run);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(channel_name(run, *pipes[0]), "pipe A");
    EXPECT_EQ(channel_name(run, *pipes[1]), "pipe A");

    std::string text = timeline::text_timeline(run, "t");
    EXPECT_NE(text.find("opens its working folder for reading as fd 3"), std::string::npos) << text;
    EXPECT_NE(text.find("locks fd 3 (its working folder) for itself alone, without waiting"),
              std::string::npos)
        << text;
    std::string svg = timeline::svg_diagram(run, "t");
    EXPECT_NE(svg.find("the same round 4 more times"), std::string::npos);
    EXPECT_EQ(count(svg, "getppid() = 9"), 2u); // the first round's row and its tooltip
    // Its output went into a file, whatever the file is called.
    EXPECT_NE(svg.find("run 2 of 2: output to pipes.log"), std::string::npos);
}

// Every lesson's diagram, from its kept trace, reads as a figure: no
// label, note or lane head on another, no arrow through any of them, at
// most 1000 px wide; a lesson run twice is two runs, a round repeated
// unchanged is drawn once, an adoption is marked, and the legend lists
// what the diagram uses.
TEST(Timeline, DiagramsAreLaidOutWithoutOverlaps)
{
    using Box = timeline::DiagramBox;
    auto overlap = [](const Box& a, const Box& b) {
        return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
               b.y < a.y + a.height;
    };
    for (const std::string& lesson : lesson_names()) {
        auto run = model_of_files(traces_in(std::string(TRACE_FIXTURES) + "/" + lesson));
        auto boxes = timeline::diagram_boxes(run, lesson);
        ASSERT_GT(boxes.size(), 10u) << lesson;
        for (size_t i = 0; i < boxes.size(); ++i)
            for (size_t k = i + 1; k < boxes.size(); ++k) {
                bool arrows =
                    boxes[i].kind == Box::Kind::arrow && boxes[k].kind == Box::Kind::arrow;
                EXPECT_FALSE(!arrows && overlap(boxes[i], boxes[k]))
                    << lesson << ": \"" << boxes[i].what << "\" on \"" << boxes[k].what << "\"";
            }
        std::string svg = timeline::svg_diagram(run, lesson);
        std::smatch width;
        ASSERT_TRUE(std::regex_search(svg, width, std::regex("width=\"([0-9.]+)\"")));
        EXPECT_LE(std::stod(width[1]), 1000) << lesson;
        // Each line of the legend within it (characters of 6.7 px from x = 50).
        static const std::regex legend_line("<text x=\"50.0\" y=\"[0-9.]+\">([^<]*)</text>");
        for (std::sregex_iterator m(svg.begin(), svg.end(), legend_line), end; m != end; ++m)
            EXPECT_LE(50 + 6.7 * double((*m)[1].length()), std::stod(width[1]))
                << lesson << ": " << (*m)[1];
        // Red is for errors and fatal signals only.
        bool killed = std::any_of(run.processes().begin(), run.processes().end(),
                                  [](const auto& p) { return p.end_how && p.end_how->killed; });
        EXPECT_EQ(svg.find("fill=\"#a01010\"") != std::string::npos, killed) << lesson;
        EXPECT_EQ(svg.find("stopped by a signal"), std::string::npos) << lesson;
        if (lesson == "child_to_parent" || lesson == "list_files") {
            EXPECT_NE(svg.find("run 1 of 2: output to the terminal"), std::string::npos) << lesson;
        }
        if (lesson == "child_to_parent") {
            EXPECT_NE(svg.find("run 2 of 2: output into a pipe"), std::string::npos) << lesson;
        }
        if (lesson == "echo_five") {
            EXPECT_NE(svg.find("blocked in a call"), std::string::npos); // the parent's wait
        }
        if (lesson == "parent_exit_watch") {
            EXPECT_NE(svg.find("adopted by "), std::string::npos);
            EXPECT_NE(svg.find("adopted: its parent ended"), std::string::npos);
            EXPECT_TRUE(std::regex_search(svg, std::regex("the same round [0-9]+ more times")));
        }
        EXPECT_EQ(svg.find("a round repeated") != std::string::npos,
                  svg.find("the same round") != std::string::npos)
            << lesson;
    }
}

// The timeline of a kept trace in Spanish, in-process: each step a whole
// sentence of the catalogue, the things it speaks of with their article
// ("la tubería A", "el FIFO FIFO2"), the names in parentheses without.
TEST(Timeline, StepsSpeakSpanish)
{
    InSpanish spanish;
    ASSERT_EQ(timeline::language(), "es");
    const std::string root = TRACE_FIXTURES;
    auto has = [](const std::string& text, const std::string& line) {
        return text.find(line) != std::string::npos;
    };

    auto echo = model_of_files({root + "/echo_five/01-echo_five.trace"});
    std::string text = timeline::text_timeline(echo, "echo_five");
    EXPECT_TRUE(has(text, "echo_five: 2 procesos, 18 pasos, ")) << text;
    EXPECT_TRUE(has(text, "  tiempo  proceso              paso\n")) << text;
    EXPECT_TRUE(has(text, "  echo_five 4282       crea la tubería A: fd 3 lee, fd 4 escribe\n"))
        << text;
    EXPECT_TRUE(has(text, "  echo_five 4282       fork(): nace el hijo 4283\n")) << text;
    EXPECT_TRUE(has(text, "  echo_five 4283 hijo  nace, una copia de 4282 a partir de su fork\n"))
        << text;
    EXPECT_TRUE(has(text, "  echo_five 4282       cierra fd 5 (tubería B, extremo de lectura)\n"))
        << text;
    EXPECT_TRUE(
        has(text, "  echo_five 4283 hijo  escribe 5 bytes en fd 1 (la terminal): \"12345\"\n"))
        << text;
    EXPECT_TRUE(has(text, "  echo_five 4283 hijo  exit(0): termina con estado 0\n")) << text;
    EXPECT_TRUE(has(text, "  echo_five 4282       wait() recoge al hijo 4283, que salió con estado "
                          "0; fue zombi durante "))
        << text;
    EXPECT_TRUE(has(text, "  echo_five 4282       recibe SIGCHLD: su hijo 4283 terminó\n")) << text;

    // A FIFO is masculine: its article comes with its name.
    auto greeting = model_of_files({root + "/send_greeting/01-send_greeting.trace"});
    text = timeline::text_timeline(greeting, "send_greeting");
    EXPECT_TRUE(has(text, "abre el FIFO FIFO2 para escribir como fd 3, tras esperar "));
    EXPECT_TRUE(has(text, "espera hasta que se haya leído el FIFO FIFO2: preguntó 1 vez cuántos "
                          "bytes quedan sin leer (última respuesta 0), en pausa "))
        << text;
    EXPECT_TRUE(has(text, "cierra fd 3 (FIFO FIFO2, extremo de escritura)\n")) << text;
}

// The figures and the diagram of kept traces in Spanish, in whole
// sentences: each channel with its article, each verb agreeing with what
// it speaks of; a zombie's box and a lane's foot say what became of the
// process. The longer words still fit: no descriptor is cut short in its
// box, no diagram has a label, a note or a lane head over another, and
// each line of a legend stays within its diagram.
TEST(Timeline, FiguresAndDiagramSpeakSpanish)
{
    InSpanish spanish;
    ASSERT_EQ(timeline::language(), "es");
    auto lesson = [](const std::string& name) {
        return model_of_files(traces_in(std::string(TRACE_FIXTURES) + "/" + name));
    };
    auto has = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };
    auto echo_five = lesson("echo_five");
    auto figures = timeline::plumbing_figures(echo_five, "echo_five");
    ASSERT_EQ(figures.size(), 3u);
    EXPECT_TRUE(has(figures[0], "<title>echo_five: las tablas de descriptores, 1 de 3</title>"))
        << figures[0];
    EXPECT_EQ(timeline::plumbing_caption(echo_five.plumbing().front()),
              "Después de que 4282 cree 3 tuberías: 4282 tiene las tuberías A, B y C por ambos "
              "extremos.");
    EXPECT_EQ(timeline::plumbing_caption(echo_five.plumbing().back()),
              "Tras los cierres: la tubería A va de 4283 a 4282; las tuberías B y C van de 4282 a "
              "4283.");
    EXPECT_TRUE(has(figures[1], ">fd 4: tubería A, extremo de escritura</text>")) << figures[1];
    EXPECT_FALSE(std::regex_search(figures[1], std::regex("class=\"fd\"[^>]*>[^<]*\xe2\x80\xa6")))
        << figures[1];

    auto two_children = lesson("two_children");
    figures = timeline::plumbing_figures(two_children, "two_children");
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_TRUE(has(figures[1], ">two_children 4683 (zombi)</text>")) << figures[1];
    EXPECT_TRUE(has(figures[1], "two_children 4683 es un zombi y no tiene nada. ")) << figures[1];
    EXPECT_TRUE(has(figures[1], "Después de que 4684 termine: sus descriptores quedan cerrados."))
        << figures[1];
    std::string svg = timeline::svg_diagram(two_children, "two_children");
    EXPECT_TRUE(has(svg, "<title>two_children: llamadas al sistema</title>")) << svg;
    EXPECT_TRUE(has(svg, ">two_children: llamadas al sistema, el tiempo corre hacia abajo<"))
        << svg;
    EXPECT_TRUE(has(svg, ">pid 4683, hijo de 4682</tspan>")) << svg;
    EXPECT_TRUE(has(svg, ">zombi, nunca recogido</text>")) << svg;
    EXPECT_TRUE(has(svg, ">aún en marcha al final</text>")) << svg;
    svg = timeline::svg_diagram(lesson("child_to_parent"), "child_to_parent");
    EXPECT_TRUE(has(svg, ">ejecución 2 de 2: salida a una tubería</text>")) << svg;

    using Box = timeline::DiagramBox;
    auto overlap = [](const Box& a, const Box& b) {
        return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
               b.y < a.y + a.height;
    };
    // Each line of the legend within the diagram's width, in characters of
    // 6.7 px from x = 50.
    auto characters = [](const std::string& text) {
        return std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
    };
    static const std::regex legend_line("<text x=\"50.0\" y=\"[0-9.]+\">([^<]*)</text>");
    for (const std::string& name : lesson_names()) {
        auto run = lesson(name);
        auto boxes = timeline::diagram_boxes(run, name);
        for (size_t i = 0; i < boxes.size(); ++i)
            for (size_t k = i + 1; k < boxes.size(); ++k)
                EXPECT_FALSE(
                    (boxes[i].kind != Box::Kind::arrow || boxes[k].kind != Box::Kind::arrow) &&
                    overlap(boxes[i], boxes[k]))
                    << name << ": \"" << boxes[i].what << "\" on \"" << boxes[k].what << "\"";
        svg = timeline::svg_diagram(run, name);
        std::smatch width;
        ASSERT_TRUE(std::regex_search(svg, width, std::regex("width=\"([0-9.]+)\"")));
        EXPECT_LE(std::stod(width[1]), 1000) << name;
        for (std::sregex_iterator m(svg.begin(), svg.end(), legend_line), end; m != end; ++m)
            EXPECT_LE(50 + 6.7 * double(characters((*m)[1])), std::stod(width[1]))
                << name << ": " << (*m)[1];
    }
}
