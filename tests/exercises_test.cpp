// syscall_timeline on the exercises a systems course sets: small classics
// of the project's own (tests/programs/), each traced for real and checked
// on the model, on the timeline's words and, where the lesson is in the
// picture, on the diagram and the descriptor figures.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "harness.hpp"
#include "reader/source_lines.hpp"
#include "traced.hpp"
#include "views/plumbing_figure.hpp"
#include "views/source_view.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"
#include "views/wording.hpp"

using namespace harness;
using namespace traces;
using timeline::Arrow;
using timeline::Step;
namespace step = timeline::step;

namespace {

timeline::Run traced_with(const std::vector<std::string>& command,
                          const std::vector<std::string>& env = {}, bool lines = true)
{
    auto recorded = record(command, env, lines);
    return model_of_files({recorded->trace});
}

// The processes in the order the trace showed them: the program first.
std::vector<int> pids(const timeline::Run& run)
{
    std::vector<int> all;
    for (const auto& p : run.processes())
        if (p.thread_of == 0)
            all.push_back(p.pid);
    return all;
}

size_t index_of(const timeline::Run& run, const Step* s)
{
    return size_t(s - run.steps().data());
}

// The words of each step, one line each, as the timeline says them.
std::string words(const timeline::Run& run)
{
    std::string text;
    for (const auto& s : run.steps())
        text += std::to_string(s.pid) + " " + timeline::describe(run, s) + "\n";
    return text;
}

const std::string kErrorRed = "#a01010";

} // namespace

// Descriptors marked close-on-exec four ways go at the child's exec: the
// step names them, the figure after it shows the new program without
// them, and the parent's end of data comes after that exec, which closed
// the last write end of pipe A.
TEST(Exercises, ExecClosesWhatIsMarkedCloseOnExec)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_CLOEXEC_EXEC);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 2u) << text;
    int child = all[1];
    EXPECT_NE(text.find("creates pipe A: fd 3 reads, fd 4 writes, both close-on-exec"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("marks fd 5 (pipe B, read end) close-on-exec"), std::string::npos);
    EXPECT_NE(text.find("fd 10 now points where fd 6 does (pipe B), close-on-exec"),
              std::string::npos);
    EXPECT_NE(text.find("opens /dev/null for reading as fd 7, close-on-exec"), std::string::npos);

    auto execs = steps_of<step::Exec>(run, child);
    ASSERT_EQ(execs.size(), 1u) << text;
    std::set<int> closed;
    for (const auto& d : execs[0]->as<step::Exec>()->closed)
        closed.insert(d.fd);
    EXPECT_EQ(closed, (std::set<int>{3, 4, 5, 7, 10})) << text;
    EXPECT_NE(
        timeline::describe(run, *execs[0])
            .find("closes fd 3 (pipe A, read end), fd 4 (pipe A, write end), fd 5 (pipe B, "
                  "read end), fd 7 (/dev/null) and fd 10 (pipe B, write end) (close-on-exec)"),
        std::string::npos)
        << text;
    auto ends = steps_of<step::EndOfData>(run, all[0]);
    ASSERT_EQ(ends.size(), 1u) << text;
    EXPECT_GT(index_of(run, ends[0]), index_of(run, execs[0])) << text;

    // After the exec, the child's table holds what was not marked: fd 6.
    const timeline::PlumbingMoment* after = nullptr;
    for (const auto& m : run.plumbing())
        if (m.change == timeline::PlumbingChange::exec && m.pid == child)
            after = &m;
    ASSERT_NE(after, nullptr);
    auto table = std::find_if(after->processes.begin(), after->processes.end(),
                              [&](const auto& t) { return t.pid == child; });
    ASSERT_NE(table, after->processes.end());
    std::vector<int> held;
    for (const auto& entry : table->fds)
        if (entry.channel)
            held.push_back(entry.fd);
    EXPECT_EQ(held, std::vector<int>{6});
    std::string figure = timeline::plumbing_svg(*after, "cloexec_exec");
    EXPECT_NE(figure.find("without the 5 descriptors marked close-on-exec"), std::string::npos)
        << figure;
    EXPECT_EQ(figure.find("each hold both ends of pipe A"), std::string::npos) << figure;
}

// dup2 makes a child's fd 1 the pipe before exec: echo's write is a
// transfer into pipe A, not printing, and the parent reads it. The PATH
// search that found echo is one step, not drawn as a failure.
TEST(Exercises, RedirectionBeforeExec)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced_with({TRACED_REDIRECT}, {"PATH=/no/such:/usr/bin:/bin"});
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 2u) << text;
    auto writes = steps_of<step::Transfer>(run, all[1]);
    ASSERT_EQ(writes.size(), 1u) << text;
    EXPECT_EQ(timeline::describe(run, *writes[0]), "writes 6 bytes to fd 1 (pipe A): \"hello\\n\"");
    EXPECT_EQ(timeline::printed(run, *writes[0]), nullptr);
    bool carried = false;
    for (const auto& a : run.arrows())
        carried = carried || (a.kind == Arrow::Kind::data && &run.steps()[a.from] == writes[0] &&
                              run.steps()[a.to].pid == all[0]);
    EXPECT_TRUE(carried) << text;
    EXPECT_NE(text.find("looks for echo along PATH: not in 1 place (last /no/such/echo)"),
              std::string::npos)
        << text;

    std::string svg = timeline::svg_diagram(run, "redirect");
    EXPECT_EQ(svg.find("prints \"hello"), std::string::npos); // both wrote into pipes
    EXPECT_EQ(svg.find(kErrorRed), std::string::npos) << "nothing failed";
}

// ls / | wc -l by hand: the bytes go from ls to wc, wc's end of data comes
// after ls's write, and once the parent has closed both ends only ls
// holds the write end and only wc the read end.
TEST(Exercises, PipelineBuiltByHand)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_PIPELINE);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 3u) << text;
    int ls = all[1];
    int wc = all[2];
    auto wrote = steps_of<step::Transfer>(run, ls);
    auto read = steps_of<step::Transfer>(run, wc);
    auto ended = steps_of<step::EndOfData>(run, wc);
    ASSERT_FALSE(wrote.empty()) << text;
    ASSERT_FALSE(read.empty()) << text;
    ASSERT_EQ(ended.size(), 1u) << text;
    EXPECT_NE(timeline::describe(run, *wrote[0]).find("to fd 1 (pipe A)"), std::string::npos);
    EXPECT_NE(timeline::describe(run, *read[0]).find("from fd 0 (pipe A)"), std::string::npos);
    EXPECT_GT(index_of(run, ended[0]), index_of(run, wrote.back()));

    // Once each side has closed what it does not use, the pipe runs from
    // ls to wc alone.
    std::string caption;
    for (const auto& m : run.plumbing())
        if (m.change == timeline::PlumbingChange::close)
            caption = timeline::plumbing_caption(m);
    bool shown = caption.find("pipe A runs from " + std::to_string(ls) + " to " +
                              std::to_string(wc)) != std::string::npos;
    EXPECT_TRUE(shown) << caption;
}

// The double fork of a daemon: the grandchild is adopted as its parent
// ends, not when it asks getppid; it is collected where its adopter is,
// outside the trace, and never said to be a zombie. A subreaper adopts it
// instead, and collects it in the trace.
TEST(Exercises, OrphansAreAdoptedAsTheirParentEnds)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_DAEMON);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 3u) << text;
    int middle = all[1];
    int orphan = all[2];
    auto adopted = steps_of<step::Adopted>(run, orphan);
    ASSERT_EQ(adopted.size(), 1u) << text;
    EXPECT_EQ(adopted[0]->as<step::Adopted>()->former, middle);
    EXPECT_EQ(adopted[0]->as<step::Adopted>()->by, 0);
    const auto* end = run.process(middle);
    ASSERT_TRUE(end && end->end_step);
    EXPECT_GT(index_of(run, adopted[0]), *end->end_step);
    // It asks until the answer is its adopter: at once, or after it has
    // seen its parent first.
    const std::string was = std::to_string(middle);
    const std::regex asked("getppid\\(\\) = \\d+: (its adopter \\(its parent " + was +
                           " ended\\)|adopted, its parent was " + was + ")");
    EXPECT_TRUE(std::regex_search(text, asked)) << text;
    EXPECT_TRUE(steps_of<step::Zombie>(run).empty()) << text;
    EXPECT_EQ(steps_of<step::CollectedOutside>(run, orphan).size(), 1u) << text;
    std::string svg = timeline::svg_diagram(run, "daemon");
    EXPECT_EQ(count(svg, "l6,6 l-6,6 l-6,-6 z\" fill=\"#16a085\""), 2u) // the row and the legend
        << "one diamond, where it is adopted";
    EXPECT_NE(svg.find("collected outside the trace"), std::string::npos);
    EXPECT_EQ(svg.find("zombie, never collected"), std::string::npos);

    auto kept = traced_with({TRACED_DAEMON, "subreaper"});
    text = words(kept);
    all = pids(kept);
    ASSERT_EQ(all.size(), 3u) << text;
    EXPECT_EQ(steps_of<step::Subreaper>(kept, all[0]).size(), 1u) << text;
    adopted = steps_of<step::Adopted>(kept, all[2]);
    ASSERT_EQ(adopted.size(), 1u) << text;
    EXPECT_EQ(adopted[0]->as<step::Adopted>()->by, all[0]);
    EXPECT_TRUE(std::regex_search(
        text, std::regex("getppid\\(\\) = " + std::to_string(all[0]) + ": (its adopter|adopted)")))
        << text;
    bool collected = false;
    for (const Step* s : steps_of<step::Collect>(kept, all[0]))
        collected = collected || s->as<step::Collect>()->child == all[2];
    EXPECT_TRUE(collected) << text;
    EXPECT_TRUE(steps_of<step::CollectedOutside>(kept).empty()) << text;
}

// kill(-group): the group is named, and an arrow goes to each member that
// receives the signal, once. The member whose parent dies first is a
// zombie adopted outside the trace, not one never collected; pause is a
// wait, drawn as one.
TEST(Exercises, ProcessGroupKilledAtOnce)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_GROUP_KILL);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 3u) << text;
    int leader = all[1];
    int member = all[2];
    auto kills = steps_of<step::Kill>(run, all[0]);
    ASSERT_EQ(kills.size(), 1u) << text;
    EXPECT_EQ(timeline::describe(run, *kills[0]),
              "sends SIGTERM to process group " + std::to_string(leader));
    std::multiset<int> reached;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::signal && &run.steps()[a.from] == kills[0])
            reached.insert(run.steps()[a.to].pid);
    EXPECT_EQ(reached, (std::multiset<int>{leader, member})) << text;
    EXPECT_NE(
        text.find(std::to_string(leader) + " leads a new process group, " + std::to_string(leader)),
        std::string::npos)
        << text;
    EXPECT_TRUE(steps_of<step::Zombie>(run).empty()) << text;
    auto pauses = steps_of<step::Pause>(run);
    ASSERT_EQ(pauses.size(), 2u) << text;
    for (const Step* p : pauses) // each until the signal came
        EXPECT_GT(p->as<step::Pause>()->waited, 0.001) << text;
    // The parent's SIGCHLD of a killed child: an arrow from its end.
    bool chld = false;
    for (const auto& a : run.arrows())
        chld = chld || (a.kind == Arrow::Kind::signal && run.steps()[a.from].pid == leader &&
                        run.steps()[a.to].as<step::Signal>() &&
                        run.steps()[a.to].as<step::Signal>()->name == "SIGCHLD");
    EXPECT_TRUE(chld) << text;
    std::string svg = timeline::svg_diagram(run, "group_kill");
    EXPECT_GE(count(svg, "<title>blocked "), 2u) << "each pause is a wait";
}

// poll on two pipes: a wait on named channels, one of them ready, with its
// bar; the read after it does not wait (what strace took is no wait).
TEST(Exercises, PollWaitsOnNamedPipes)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_POLL_PIPES);
    std::string text = words(run);
    auto polls = steps_of<step::Poll>(run);
    ASSERT_EQ(polls.size(), 1u) << text;
    const auto* poll = polls[0]->as<step::Poll>();
    EXPECT_GT(poll->waited, 0.001);
    EXPECT_EQ(poll->ready, 1);
    const std::regex said("waits [0-9.]+ ms in poll on fd 3 \\(pipe A\\) and fd 5 \\(pipe B\\): "
                          "fd 5 \\(pipe B\\) is ready");
    EXPECT_TRUE(std::regex_search(timeline::describe(run, *polls[0]), said)) << text;
    EXPECT_EQ(text.find("pipe:["), std::string::npos) << text;
    auto reads = steps_of<step::Transfer>(run, polls[0]->pid);
    ASSERT_EQ(reads.size(), 1u) << text;
    EXPECT_EQ(reads[0]->as<step::Transfer>()->waited, 0.0);
    std::string svg = timeline::svg_diagram(run, "poll_pipes");
    EXPECT_NE(svg.find("<title>blocked " + timeline::seconds_text(poll->waited) + "</title>"),
              std::string::npos)
        << "the bar is the poll's";
}

// A child blocked in read, killed while its parent still holds the write
// end: its read never returned. Nothing was read and no end of data came;
// it waited in the call until it was killed.
TEST(Exercises, KilledInAReadThatNeverReturned)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_KILLED_READER);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 2u) << text;
    EXPECT_TRUE(steps_of<step::EndOfData>(run).empty()) << text;
    auto cut = steps_of<step::NeverReturned>(run, all[1]);
    ASSERT_EQ(cut.size(), 1u) << text;
    std::string said = timeline::describe(run, *cut[0]);
    EXPECT_EQ(said.rfind("was in read on fd 3 (pipe A) when it ended: the call never returned "
                         "(it had waited ",
                         0),
              0u)
        << said;
    EXPECT_GT(cut[0]->ended - cut[0]->began, 0.05) << said; // the parent's 100 ms, less start-up
    ASSERT_TRUE(run.process(all[1])->end_how);
    EXPECT_EQ(run.process(all[1])->end_how->signal, "SIGKILL");
}

// A descriptor sent through a socket (SCM_RIGHTS): the receiver's new one
// shares the sender's open file description, which outlives the sender's
// close while the message waits; the parent's write goes on from the
// child's offset. Its figure says so.
TEST(Exercises, DescriptorPassedThroughASocket)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_PASS_DESCRIPTOR);
    std::string text = words(run);
    const std::regex sent(R"(\d+ writes 1 byte to fd 4 \(socket pair A\): "f", and passes fd 5 )"
                          R"(\(given\.txt\) through the socket)");
    const std::regex received(
        R"(\d+ +reads 1 byte from fd 3 \(socket pair A\): "f".*, and )"
        R"(receives fd 5 \(given\.txt\): a copy of the sender's, on the same )"
        R"(open file description)");
    EXPECT_TRUE(std::regex_search(text, sent)) << text;
    EXPECT_TRUE(std::regex_search(text, received)) << text;
    auto figures = timeline::plumbing_figures(run, "t");
    EXPECT_TRUE(std::any_of(figures.begin(), figures.end(), [](const std::string& svg) {
        return svg.find("receives a descriptor through a socket") != std::string::npos &&
               svg.find("offset 5") != std::string::npos;
    }));
}

// Copies of descriptors given from outside the trace stay in the table,
// on the given descriptions: the figure draws them.
TEST(Exercises, CopiesOfGivenDescriptors)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_COPIES_OF_GIVEN);
    std::string text = words(run);
    EXPECT_NE(text.find("fd 3 now points where fd 1 does"), std::string::npos) << text;
    auto figures = timeline::plumbing_figures(run, "t");
    ASSERT_FALSE(figures.empty()) << text;
    EXPECT_NE(figures[0].find("fd 3: "), std::string::npos) << figures[0];
    EXPECT_NE(figures[0].find("fd 5: "), std::string::npos) << figures[0];
}

// Memory the program maps shared is a step of its own (the loader's and
// malloc's private mappings are not), and so is giving it back; a child
// forked after it shares it.
TEST(Exercises, SharedMemoryIsShown)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_SHARED_MEMORY);
    std::string text = words(run);
    EXPECT_NE(text.find("maps 4096 bytes of memory shared (MAP_SHARED)"), std::string::npos)
        << text;
    EXPECT_NE(text.find("maps 10 bytes of fd 3 shared (MAP_SHARED)"), std::string::npos) << text;
    EXPECT_NE(text.find("unmaps the 4096 bytes it shared"), std::string::npos) << text;
    EXPECT_EQ(steps_of<step::Map>(run).size(), 4u) << text;
    // The program ends with 0 only if it read, after the wait, what its
    // child put there: the kernel shared the page.
    EXPECT_NE(text.find("exit(0): ends with status 0"), std::string::npos) << text;
}

// A write of more than a pipe holds waits for the reader to make room,
// and says so, for as long as strace saw it wait; the reads that follow
// find their bytes there. A pipe made smaller fills sooner.
TEST(Exercises, WriteIntoAFullPipeWaitsForRoom)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_FULL_PIPE);
    std::string text = words(run);
    EXPECT_NE(text.find("writes 100000 bytes to fd 4 (pipe A)"), std::string::npos) << text;
    EXPECT_NE(text.find("makes fd 4 (pipe B, write end) hold up to 4096 bytes (F_SETPIPE_SZ)"),
              std::string::npos)
        << text;
    std::vector<const step::Transfer*> full;
    for (const auto* s : steps_of<step::Transfer>(run))
        if (const auto* t = s->as<step::Transfer>(); t->full)
            full.push_back(t);
    ASSERT_EQ(full.size(), 2u) << text;
    for (const auto* t : full) {
        EXPECT_FALSE(t->is_read);
        // The child naps 100 ms before it reads: the writer waited at least that.
        EXPECT_GE(t->waited, 0.09) << text;
    }
    EXPECT_NE(text.find("more than the pipe had room for: it waited "), std::string::npos) << text;
    // The first read finds the pipe full: it did not wait, however long
    // strace made it take.
    size_t read = text.find("reads 65536 bytes from fd 3 (pipe A)");
    ASSERT_NE(read, std::string::npos) << text;
    EXPECT_EQ(text.substr(read, text.find('\n', read) - read).find("waited"), std::string::npos)
        << text;
}

// Bytes through a datagram socket pair, an lseek that only asks, and a
// read that a signal interrupted after it had waited.
TEST(Exercises, DatagramsSeekAndAnInterruptedRead)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_ASKS_AND_INTERRUPTS);
    std::string text = words(run);
    for (const char* said : {"writes 8 bytes to fd 3 (socket pair A): \"datagram\"",
                             "reads 8 bytes from fd 4 (socket pair A): \"datagram\"",
                             "asks where the offset of fd 5 (notes) is: byte 4",
                             "tries to read 1 byte from fd 6 (pipe A): interrupted by a signal "
                             "after waiting "})
        EXPECT_NE(text.find(said), std::string::npos) << said << "\n" << text;
    EXPECT_EQ(text.find("moves the offset"), std::string::npos) << text;
}

// A write into a pipe without a reader: the first writer dies of SIGPIPE;
// the second ignores it, which the timeline says, and its write fails in
// words, not as strace wrote it.
TEST(Exercises, SigpipeKillsUnlessIgnored)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_SIGPIPE);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 3u) << text;
    for (int writer : {all[1], all[2]}) {
        auto failed = steps_of<step::TransferFailed>(run, writer);
        ASSERT_EQ(failed.size(), 1u) << text;
        EXPECT_EQ(timeline::describe(run, *failed[0]),
                  "tries to write 1 byte to fd 4 (pipe A): fails, EPIPE (no reader is left)");
    }
    ASSERT_TRUE(run.process(all[1])->end_how);
    EXPECT_EQ(run.process(all[1])->end_how->signal, "SIGPIPE");
    auto ignores = steps_of<step::Disposition>(run, all[2]);
    ASSERT_EQ(ignores.size(), 1u) << text;
    EXPECT_EQ(timeline::describe(run, *ignores[0]),
              "ignores SIGPIPE: a write with no reader left fails with EPIPE instead");
    EXPECT_NE(text.find("it ignores it: its write fails with EPIPE"), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(all[2]) + " exit(3)"), std::string::npos) << text;
    EXPECT_TRUE(steps_of<step::AsWritten>(run).empty()) << text;

    // strace may tell such a write as it starts, then its failure: the
    // failure is what it did.
    auto told = model("60 1.0 execve(\"/x/w\", [\"w\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
                      "60 1.1 pipe2([3<pipe:[8]>, 4<pipe:[8]>], 0) = 0 <0.00001>\n"
                      "60 1.2 close(3<pipe:[8]>) = 0 <0.00001>\n"
                      "60 1.3 write(4<pipe:[8]>, \"x\", 1 <unfinished ...>\n"
                      "60 1.31 <... write resumed>) = -1 EPIPE (Broken pipe) <0.0001>\n"
                      "60 1.32 --- SIGPIPE {si_signo=SIGPIPE, si_code=SI_USER, si_pid=60, "
                      "si_uid=0} ---\n"
                      "60 1.33 +++ killed by SIGPIPE +++\n");
    EXPECT_TRUE(steps_of<step::Transfer>(told).empty()) << words(told);
    ASSERT_EQ(steps_of<step::TransferFailed>(told).size(), 1u) << words(told);
    EXPECT_EQ(steps_of<step::TransferFailed>(told)[0]->error, "EPIPE");
}

// popen and system: the command popen runs shows under its own name from
// its first read of the pipe, and the pipe never enters the program's own
// table; the spawns have the library call's line; system ignores SIGINT
// and SIGQUIT and blocks SIGCHLD while it waits.
TEST(Exercises, PopenAndSystem)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced(TRACED_POPEN_SORT);
    std::string text = words(run);
    int program = pids(run)[0];
    auto appears = steps_of<step::Appears>(run);
    ASSERT_EQ(appears.size(), 1u) << text;
    int sort = appears[0]->pid;
    EXPECT_EQ(appears[0]->as<step::Appears>()->program, "sort");
    auto reads = steps_of<step::Transfer>(run, sort);
    ASSERT_FALSE(reads.empty()) << text;
    // (Followed by the time it waited, when sort asked before the program
    // wrote: the scheduler's choice.)
    EXPECT_EQ(timeline::describe(run, *reads[0])
                  .rfind("reads 11 bytes from fd 0 (pipe A): "
                         "\"pear\\napple\\n\"",
                         0),
              0u)
        << timeline::describe(run, *reads[0]);
    EXPECT_EQ(
        timeline::process_label(*run.process(sort), index_of(run, reads[0])).rfind("sort ", 0), 0u);
    for (const auto& m : run.plumbing()) {
        for (const auto& table : m.processes) {
            for (const auto& entry : table.fds) {
                EXPECT_FALSE(table.pid == program && entry.fd == 0 && entry.channel)
                    << timeline::plumbing_caption(m);
            }
        }
    }
    for (const char* said :
         {"ignores SIGINT", "ignores SIGQUIT", "blocks SIGCHLD", "restores the default for SIGINT"})
        EXPECT_NE(text.find(std::to_string(program) + " " + said), std::string::npos) << said;
    EXPECT_EQ(text.find("every signal"), std::string::npos) << "the C library's own mask";
    if (!timeline::SourceLines::available())
        return;
    for (const Step* fork : steps_of<step::Fork>(run, program)) {
        ASSERT_TRUE(fork->source) << timeline::describe(run, *fork);
        EXPECT_TRUE(fork->source->file.ends_with("popen_sort.c"));
    }
}

namespace {

namespace fs = std::filesystem;

// The frames strace printed under each call of a trace, by pid: those of
// the program the process started with, and those after an exec.
struct FramesOf {
    std::map<int, size_t> before_exec, after_exec;
    std::set<std::string> objects_before_exec;
};

FramesOf frames_of(const std::string& trace)
{
    FramesOf frames;
    std::map<int, bool> execing, execed;
    int pid = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(" > ")) {
            if (execed[pid]) {
                ++frames.after_exec[pid];
            } else {
                ++frames.before_exec[pid];
                frames.objects_before_exec.insert(line.substr(3, line.find('(') - 3));
            }
            continue;
        }
        bool first = pid == 0;
        pid = std::atoi(line.c_str());
        // An exec's stack is the caller's: the program changes after it.
        // (The first line is the exec that starts the command.)
        if (execing[pid])
            execed[pid] = true;
        execing[pid] = !first && line.find(" execve") != std::string::npos &&
                       line.find(" = 0 <") != std::string::npos;
    }
    return frames;
}

} // namespace

// A program with lines is traced with the stack of each call, down to its
// own frames; the programs its children become (sh, sort) have no lines to
// tell, and their calls carry only their innermost frame: no unwinding
// where no line can come from. What makes that so is loaded into strace
// alone: the command gets the LD_PRELOAD it was given, and nothing else.
TEST(Exercises, StacksOnlyWhereLinesCanComeFrom)
{
    SKIP_WITHOUT_TRACING();
    if (!timeline::SourceLines::available())
        GTEST_SKIP() << "a build without libdw records no stacks";
    auto recorded = record({TRACED_POPEN_SORT});
    std::string trace = read_file(recorded->trace);
    EXPECT_EQ(trace.find("quick_stacks"), std::string::npos) << "loaded into the command";
    auto frames = frames_of(trace);
    EXPECT_TRUE(frames.objects_before_exec.contains(TRACED_POPEN_SORT))
        << "the program's own frames are in its stacks";
    ASSERT_FALSE(frames.after_exec.empty()) << trace;
    std::map<int, size_t> calls;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with(" > "))
            ++calls[std::atoi(line.c_str())];
    // (A build without libunwind's headers has strace unwind them whole.)
    if (access((fs::path(BIN_SYSCALL_TIMELINE).parent_path() / "quick_stacks.so").c_str(), R_OK) ==
        0) {
        for (auto [pid, count] : frames.after_exec)
            EXPECT_LE(count, calls[pid]) << pid << " has more than a frame a call";
    }

    auto given = record({TRACED_POPEN_SORT}, {"LD_PRELOAD=/no/such/preloaded.so"});
    EXPECT_NE(read_file(given->trace).find("/no/such/preloaded.so"), std::string::npos)
        << "the command's loader looks for what it was given";
}

// --source shows every step of the run once: under the line that made it
// (the child's _exit, which strace writes after the child's end), under
// the line that caused it (an exec under execlp, though the new program's
// own calls are not shown), or among those no line made (the file actions
// posix_spawn takes in the child, each end).
TEST(Exercises, SourceShowsEveryStep)
{
    SKIP_WITHOUT_TRACING();
    if (!timeline::SourceLines::available())
        GTEST_SKIP() << "a build without libdw tells no lines";
    auto run = traced(TRACED_SPAWN_AND_EXEC);
    std::string text = timeline::source_text(run, "spawn_and_exec");
    EXPECT_EQ(count(text, "\n        \xe2\x94\x94 "), run.steps().size()) << text;
    // Whether `step` is among the steps right under the source line that
    // holds `line`, before the next numbered line.
    auto under = [&](const std::string& line, const std::string& step) {
        size_t at = text.find(line);
        if (at == std::string::npos)
            return false;
        std::smatch next;
        std::string rest = text.substr(at);
        size_t end = std::regex_search(rest, next, std::regex(R"(\n +\d+  )"))
                         ? size_t(next.position(0))
                         : rest.size();
        return rest.substr(0, end).find(step) != std::string::npos;
    };
    EXPECT_TRUE(under("execlp(\"echo\"", "becomes echo")) << text;
    EXPECT_TRUE(under("_exit(5);", "exit(5): ends with status 5")) << text;
    size_t unplaced = text.find("\nsteps that no line of the source made:\n");
    ASSERT_NE(unplaced, std::string::npos) << text;
    EXPECT_NE(text.find("opens /dev/null for writing as fd 1", unplaced), std::string::npos)
        << text;
}

// An exec of a program that does not exist: the search fails in words, in
// error red, and the child's 127 reaches its parent.
TEST(Exercises, ExecOfAMissingProgram)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced_with({TRACED_EXEC_MISSING}, {"PATH=/no/such:/bin"});
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 2u) << text;
    auto tried = steps_of<step::ExecFailed>(run, all[1]);
    ASSERT_EQ(tried.size(), 1u) << text;
    EXPECT_FALSE(tried[0]->as<step::ExecFailed>()->found);
    EXPECT_EQ(timeline::describe(run, *tried[0]),
              "execve no_such_program fails in 2 places along PATH (last "
              "/bin/no_such_program): ENOENT (no such file or folder)");
    auto collected = steps_of<step::Collect>(run, all[0]);
    ASSERT_EQ(collected.size(), 1u) << text;
    EXPECT_EQ(collected[0]->as<step::Collect>()->how->status, 127);
    EXPECT_NE(timeline::svg_diagram(run, "exec_missing").find(kErrorRed), std::string::npos);
}

// execve from a thread other than the first: the kernel gives it the
// leader's pid; the trace is read, the thread's own id ends, and the new
// program goes on as the process. (strace 6.1 cannot follow this with
// its stacks: without them.)
TEST(Exercises, ExecFromAThread)
{
    SKIP_WITHOUT_TRACING();
    auto run = traced_with({TRACED_THREAD_EXEC}, {}, false);
    std::string text = words(run);
    auto all = pids(run);
    ASSERT_EQ(all.size(), 1u) << text;
    auto gone = steps_of<step::Superseded>(run);
    ASSERT_EQ(gone.size(), 1u) << text;
    EXPECT_EQ(gone[0]->as<step::Superseded>()->leader, all[0]);
    EXPECT_NE(gone[0]->pid, all[0]);
    auto execs = steps_of<step::Exec>(run, all[0]);
    ASSERT_EQ(execs.size(), 1u) << text;
    EXPECT_GT(index_of(run, execs[0]), index_of(run, gone[0]));
    EXPECT_NE(text.find(std::to_string(all[0]) + " ends: exited with status 0"), std::string::npos)
        << text;
    EXPECT_TRUE(steps_of<step::StillRunning>(run).empty()) << text;

    // With the stacks, a trace that strace could not follow to its end
    // says so, and how to trace it whole.
    TempDir dir;
    Process tool({.argv = {BIN_SYSCALL_TIMELINE, "--", TRACED_THREAD_EXEC},
                  .dir = dir.path(),
                  .env = {kNoLeakCheck}});
    ASSERT_TRUE(tool.finish(kDeadline));
    bool whole = tool.out().find(" ends: exited with status 0") != std::string::npos;
    EXPECT_EQ(tool.err().find("--no-lines traces it whole") == std::string::npos, whole)
        << tool.out() << tool.err();
}

// On a busy machine the new thread may exec before the clone that made it
// has returned: strace then ends the clone with "= ?", after the thread's
// first steps. The clone still made that thread, and the run reads as when
// the clone returned first.
TEST(Exercises, ExecFromAThreadBeforeItsCloneReturned)
{
    auto run = model(
        "10 0.900000 execve(\"/tmp/thread_exec\", [\"thread_exec\"], 0x7ffd /* 9 vars */) = 0 "
        "<0.000100>\n"
        "10 1.000000 clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD|"
        "CLONE_SYSVSEM|CLONE_SETTLS|CLONE_PARENT_SETTID|CLONE_CHILD_CLEARTID, child_tid=0x7f, "
        "parent_tid=0x7f, exit_signal=0, stack=0x7e, stack_size=0x7fff80, tls=0x7f} "
        "<unfinished ...>\n"
        "11 1.000100 rseq(0x7f, 0x20, 0, 0x53053053) = 0 <0.000010>\n"
        "11 1.000200 execve(\"/bin/true\", [\"true\"], 0x7ffc /* 41 vars */ <unfinished ...>\n"
        "10 1.000300 <... clone3 resumed>, 88) = ?\n"
        "10 1.000400 +++ superseded by execve in pid 11 +++\n"
        "10 1.000500 <... execve resumed>) = 0 <0.000300>\n"
        "10 1.000600 exit_group(0) = ?\n"
        "10 1.000700 +++ exited with 0 +++\n");
    std::string text = words(run);
    EXPECT_EQ(pids(run), std::vector<int>{10}) << text;
    EXPECT_EQ(steps_of<step::NewThread>(run).size(), 1u) << text;
    auto gone = steps_of<step::Superseded>(run);
    ASSERT_EQ(gone.size(), 1u) << text;
    auto execs = steps_of<step::Exec>(run, 10);
    ASSERT_EQ(execs.size(), 1u) << text;
    EXPECT_GT(index_of(run, execs[0]), index_of(run, gone[0])) << text;
    EXPECT_EQ(text.find("= ?"), std::string::npos) << text;
}

// Beyond the list: collecting three children with WNOHANG in a loop, each
// once and none left a zombie; SIGCHLD blocked, caught, and waited for in
// sigsuspend before the wait that collects.
TEST(Exercises, ReapLoopAndSigsuspend)
{
    SKIP_WITHOUT_TRACING();
    auto loop = traced(TRACED_REAP_LOOP);
    std::string text = words(loop);
    auto all = pids(loop);
    ASSERT_EQ(all.size(), 4u) << text;
    std::multiset<int> collected;
    for (const Step* s : steps_of<step::Collect>(loop, all[0]))
        collected.insert(s->as<step::Collect>()->child);
    EXPECT_EQ(collected, (std::multiset<int>{all[1], all[2], all[3]})) << text;
    EXPECT_FALSE(steps_of<step::WaitPoll>(loop, all[0]).empty()) << text;
    EXPECT_TRUE(steps_of<step::Zombie>(loop).empty()) << text;

    auto suspend = traced(TRACED_SIGSUSPEND);
    text = words(suspend);
    int parent = pids(suspend)[0];
    std::vector<std::string> said;
    for (const auto& s : suspend.steps()) {
        // A sanitizer build catches SIGSEGV and its kin for itself.
        const auto* disposition = s.as<step::Disposition>();
        if (s.pid == parent &&
            (s.is<step::Mask>() || (disposition && disposition->signal == "SIGCHLD") ||
             s.is<step::Pause>() || s.is<step::Signal>() || s.is<step::Collect>()))
            said.push_back(timeline::describe(suspend, s));
    }
    ASSERT_EQ(said.size(), 5u) << text;
    EXPECT_EQ(said[0], "blocks SIGCHLD: held until it unblocks them");
    EXPECT_EQ(said[1], "catches SIGCHLD with a handler of its own");
    EXPECT_NE(said[2].find("for a signal in sigsuspend, with a mask of its own"),
              std::string::npos);
    EXPECT_NE(said[3].find("receives SIGCHLD: its child "), std::string::npos);
    EXPECT_NE(said[3].find("; its handler runs"), std::string::npos);
    EXPECT_NE(said[4].find("wait() collects child "), std::string::npos);
}

// What the kernel orders comes out in that order, whatever strace
// stamped: a read that blocked is stamped as it returns, here before the
// close that ended its data and before the exit that its wait collects.
// Each step moved says so.
TEST(Exercises, EffectsComeAfterTheirCauses)
{
    auto run = model("10 1.000 execve(\"/tmp/p\", [\"p\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
                     "10 1.001 pipe2([3<pipe:[7]>, 4<pipe:[7]>], 0) = 0 <0.00001>\n"
                     "10 1.002 clone(child_stack=NULL, flags=SIGCHLD) = 11 <0.0001>\n"
                     "10 1.003 close(4<pipe:[7]>) = 0 <0.00001>\n"
                     "11 1.0035 close(3<pipe:[7]>) = 0 <0.00001>\n"
                     "10 1.0036 read(3<pipe:[7]>, \"x\\n\", 4096) = 2 <0.0004>\n"
                     "11 1.0041 write(4<pipe:[7]>, \"x\\n\", 2) = 2 <0.00001>\n"
                     "10 1.0041 read(3<pipe:[7]>, \"\", 4096) = 0 <0.0001>\n"
                     "11 1.0043 close(4<pipe:[7]>) = 0 <0.00001>\n"
                     "11 1.0044 exit_group(3) = ?\n"
                     "10 1.0044 wait4(-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 3}], 0, NULL) = 11 "
                     "<0.0001>\n"
                     "11 1.0046 +++ exited with 3 +++\n"
                     "10 1.0047 exit_group(0) = ?\n"
                     "10 1.0048 +++ exited with 0 +++\n");
    std::string text = words(run);
    const std::vector<std::pair<int, std::string>> expected = {{10, "closes fd 4"},
                                                               {11, "closes fd 3"},
                                                               {11, "writes 2 bytes to fd 4"},
                                                               {10, "reads 2 bytes from fd 3"},
                                                               {11, "closes fd 4"},
                                                               {10, "read returned 0 on fd 3"},
                                                               {11, "exit(3)"},
                                                               {10, "wait() collects child 11"},
                                                               {10, "exit(0)"}};
    std::vector<std::pair<int, std::string>> order;
    for (const auto& s : run.steps())
        if (s.is<step::Transfer>() || s.is<step::EndOfData>() || s.is<step::Close>() ||
            s.is<step::Collect>() || s.is<step::Exit>())
            order.emplace_back(s.pid, timeline::describe(run, s));
    ASSERT_EQ(order.size(), expected.size()) << text;
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i].first, expected[i].first) << text;
        EXPECT_EQ(order[i].second.rfind(expected[i].second, 0), 0u) << text;
    }
    auto ends = steps_of<step::EndOfData>(run);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_GT(ends[0]->moved, 0.0);
    EXPECT_NE(timeline::describe(run, *ends[0])
                  .find("later than strace stamped it: after what "
                        "caused it)"),
              std::string::npos);
    auto collect = steps_of<step::Collect>(run);
    ASSERT_EQ(collect.size(), 1u);
    EXPECT_GE(collect[0]->as<step::Collect>()->zombie_seconds, 0.0);
    // The time column follows the order.
    for (size_t i = 1; i < run.steps().size(); ++i)
        EXPECT_GE(run.steps()[i].time, run.steps()[i - 1].time) << text;
}

// Traces recorded apart are merged by clocks read at different moments:
// the classifier's open, its read and its end of phrase come after the
// writer's open, write and close that made them.
TEST(Exercises, TracesRecordedApartKeepTheKernelsOrder)
{
    // The writer's clock is 3 ms ahead: both opens ended at once.
    const std::string classifier =
        "20 5.000 execve(\"/x/phrase_classifier\", [\"phrase_classifier\"], 0x0 /* 1 var */) = 0 "
        "<0.0001>\n"
        "20 5.0002 mknodat(AT_FDCWD</d>, \"FIFOVEK\", S_IFIFO|0666) = 0 <0.0001>\n"
        "20 5.001 openat(AT_FDCWD</d>, \"FIFOVEK\", O_RDONLY) = 4</d/FIFOVEK> <0.199>\n"
        "20 5.2005 read(4</d/FIFOVEK>, \"h\", 1) = 1 <0.0005>\n"
        "20 5.2011 read(4</d/FIFOVEK>, \"i\", 1) = 1 <0.0001>\n"
        "20 5.2013 read(4</d/FIFOVEK>, \"\", 1) = 0 <0.0037>\n"
        "20 5.206 write(1</dev/pts/0>, \"hi\\n\", 3) = 3 <0.0001>\n";
    const std::string writer =
        "30 5.100 execve(\"/x/send_words\", [\"send_words\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
        "30 5.103 openat(AT_FDCWD</d>, \"FIFOVEK\", O_WRONLY) = 3</d/FIFOVEK> <0.1>\n"
        "30 5.204 write(3</d/FIFOVEK>, \"hi\", 2) = 2 <0.0001>\n"
        "30 5.210 close(3</d/FIFOVEK>) = 0 <0.0001>\n"
        "30 5.211 exit_group(0) = ?\n"
        "30 5.212 +++ exited with 0 +++\n";
    auto run = model_of_excerpts({classifier, writer});
    std::string text = timeline::text_timeline(run, "t");
    std::vector<std::string> order;
    for (const auto& s : run.steps())
        if (s.is<step::Open>() || s.is<step::Transfer>() || s.is<step::EndOfData>() ||
            s.is<step::Close>())
            order.push_back(std::to_string(s.pid) + " " + timeline::describe(run, s).substr(0, 17));
    EXPECT_EQ(order, (std::vector<std::string>{"30 opens FIFO FIFOVE", "20 opens FIFO FIFOVE",
                                               "30 writes 2 bytes to", "20 reads 1 byte, 2 t",
                                               "30 closes fd 3 (FIFO", "20 read returned 0 o",
                                               "20 writes 3 bytes to"}))
        << text;
    bool carried = false;
    for (const auto& a : run.arrows())
        carried = carried || (a.kind == Arrow::Kind::data && a.bytes == 2);
    EXPECT_TRUE(carried) << text;
    EXPECT_EQ(count(text, "later than strace stamped it: after what caused it"), 3u) << text;
}

// A cause the trace never shows (a writer outside it still holds the
// FIFO, a count the model missed): the effect waits no longer than a
// moment, and keeps its time.
TEST(Exercises, AnEffectWithoutItsCauseKeepsItsTime)
{
    auto run = model("40 1.0 execve(\"/x/r\", [\"r\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
                     "40 1.1 pipe2([3<pipe:[9]>, 4<pipe:[9]>], 0) = 0 <0.00001>\n"
                     "40 1.2 clone(child_stack=NULL, flags=SIGCHLD) = 41 <0.0001>\n"
                     "40 1.3 close(4<pipe:[9]>) = 0 <0.00001>\n"
                     "40 1.4 read(3<pipe:[9]>, \"\", 10) = 0 <0.1>\n"
                     "40 1.5 exit_group(0) = ?\n"
                     "40 1.6 +++ exited with 0 +++\n"
                     "41 3.0 nanosleep({tv_sec=1, tv_nsec=0}, NULL) = 0 <1.0>\n");
    auto ends = steps_of<step::EndOfData>(run);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0]->moved, 0.0);
    EXPECT_NEAR(ends[0]->time, 0.5, 0.001); // as its call ended
    EXPECT_EQ(timeline::describe(run, *ends[0]).find("later than"), std::string::npos);
}

// kill(0) and kill(-1) name whom they signal, and each receiver's arrival
// has its arrow; calls that a signal interrupted say so in words; fcntl,
// select, epoll and a close of what has no ends are worded.
TEST(Exercises, SignalsToManyInterruptedCallsAndWaits)
{
    auto run = model(
        "50 1.0 execve(\"/x/k\", [\"k\"], 0x0 /* 1 var */) = 0 <0.0001>\n"
        "50 1.1 clone(child_stack=NULL, flags=SIGCHLD) = 51 <0.0001>\n"
        "50 1.2 kill(0, SIGUSR1) = 0 <0.00001>\n"
        "51 1.21 --- SIGUSR1 {si_signo=SIGUSR1, si_code=SI_USER, si_pid=50, si_uid=0} ---\n"
        "51 1.22 read(0</dev/pts/0>, 0x7ffd, 10) = ? ERESTARTSYS (To be restarted if SA_RESTART is "
        "set) <0.01>\n"
        "50 1.3 kill(-1, SIGTERM) = 0 <0.00001>\n"
        "51 1.31 --- SIGTERM {si_signo=SIGTERM, si_code=SI_USER, si_pid=50, si_uid=0} ---\n"
        "51 1.32 +++ killed by SIGTERM +++\n"
        "50 1.33 nanosleep({tv_sec=1, tv_nsec=0}, 0x7ffd) = -1 EINTR (Interrupted system call) "
        "<0.0001>\n"
        "50 1.4 openat(AT_FDCWD</w>, \"/dev/null\", O_RDONLY) = 3</dev/null<char 1:3>> <0.00001>\n"
        "50 1.41 fcntl(3</dev/null<char 1:3>>, F_SETFL, O_RDONLY|O_NONBLOCK) = 0 <0.00001>\n"
        "50 1.42 fcntl(3</dev/null<char 1:3>>, F_DUPFD, 10) = 10</dev/null<char 1:3>> <0.00001>\n"
        "50 1.43 close(3</dev/null<char 1:3>>) = 0 <0.00001>\n"
        "50 1.5 pipe2([4<pipe:[5]>, 5<pipe:[5]>], 0) = 0 <0.00001>\n"
        "50 1.51 select(5, [4<pipe:[5]>], NULL, NULL, {tv_sec=0, tv_usec=50000}) = 0 (Timeout) "
        "<0.05>\n"
        "50 1.6 epoll_create1(EPOLL_CLOEXEC) = 6<anon_inode:[eventpoll]> <0.00001>\n"
        "50 1.61 epoll_ctl(6<anon_inode:[eventpoll]>, EPOLL_CTL_ADD, 4<pipe:[5]>, {events=EPOLLIN, "
        "data={u32=4, u64=4}}) = 0 <0.00001>\n"
        "50 1.62 epoll_wait(6<anon_inode:[eventpoll]>, [], 1, 20) = 0 <0.02>\n");
    std::string text = words(run);
    for (const char* said :
         {"50 sends SIGUSR1 to its own process group",
          "50 sends SIGTERM to every process it may signal",
          "51 tries to read 10 bytes from fd 0 (the terminal): interrupted by a signal after "
          "waiting 10.0 ms\n",
          "50 sleeps 1.0 s: interrupted by a signal, fails with EINTR",
          "50 makes fd 3 (/dev/null) non-blocking (O_RDONLY|O_NONBLOCK)",
          "50 fd 10 now points where fd 3 does (/dev/null)", "50 closes fd 3 (/dev/null)\n",
          "50 waits 50.0 ms in select on fd 4 (pipe A): the time is up, none is ready",
          "50 epoll fd 6 now watches fd 4 (pipe A)", "50 waits 20.0 ms in epoll_wait"})
        EXPECT_NE(text.find(said), std::string::npos) << said << "\n" << text;
    EXPECT_EQ(text.find("ERESTART"), std::string::npos) << text;
    std::multiset<std::string> arrows;
    for (const auto& a : run.arrows())
        if (a.kind == Arrow::Kind::signal && run.steps()[a.from].pid == 50)
            arrows.insert(timeline::describe(run, a.to));
    EXPECT_EQ(arrows, (std::multiset<std::string>{"receives SIGUSR1 from pid 50",
                                                  "receives SIGTERM from pid 50"}))
        << text;
}
