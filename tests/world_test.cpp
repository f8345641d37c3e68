// The three tables at every step of a run: descriptors, the open file
// descriptions they point at, and the objects with the bytes in them.
// Checked against the kernel's own view of a real run (/proc/PID/fdinfo
// and kcmp), and the changes a step makes replayed forwards and backwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "model/world.hpp"
#include "traced.hpp"
#include "views/plumbing_figure.hpp"
#include "views/wording.hpp"

using namespace harness;
using namespace traces;
using timeline::World;
using timeline::WorldLog;

namespace {

// What /proc/PID/fdinfo/FD says: its offset and its status flags.
struct FdInfo {
    long long pos = -1;
    unsigned flags = 0;
};

FdInfo fdinfo(pid_t pid, int fd)
{
    std::string text = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    FdInfo info;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(pos:\s+(\d+))")))
        info.pos = std::stoll(m[1]);
    if (std::regex_search(text, m, std::regex(R"(flags:\s+([0-7]+))")))
        info.flags = unsigned(std::stoul(m[1], nullptr, 8));
    return info;
}

// Whether two descriptors of two processes are one open file description.
bool same_description(pid_t a, int fd_a, pid_t b, int fd_b)
{
    return syscall(SYS_kcmp, a, b, KCMP_FILE, fd_a, fd_b) == 0;
}

std::string comm(pid_t pid)
{
    std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
    return name.substr(0, name.find('\n'));
}

// The processes below `pid` that run `program`, outermost first.
std::vector<pid_t> running(pid_t pid, const std::string& program)
{
    std::vector<pid_t> found;
    std::vector<pid_t> below{pid};
    for (size_t i = 0; i < below.size() && i < 64; ++i)
        for (pid_t child : children(below[i])) {
            below.push_back(child);
            if (comm(child) == program)
                found.push_back(child);
        }
    return found;
}

// A figure's facts: each process's descriptors (by data-pid and data-fd)
// and the descriptions they point at.
struct Figure {
    std::map<std::pair<int, int>, std::string> fds; // (pid, fd): description id
    std::map<std::string, std::map<std::string, std::string>> descriptions; // id: attributes
};

Figure read_figure(const std::string& svg)
{
    Figure f;
    std::regex process(R"#(<g class="process" data-pid="(\d+)">([\s\S]*?)</g>)#");
    std::regex fd(R"#(data-fd="(\d+)" data-description="(\d+)")#");
    for (std::sregex_iterator p(svg.begin(), svg.end(), process), end; p != end; ++p) {
        std::string body = (*p)[2];
        for (std::sregex_iterator e(body.begin(), body.end(), fd); e != end; ++e)
            f.fds[{std::stoi((*p)[1]), std::stoi((*e)[1])}] = (*e)[2];
    }
    std::regex description(R"#(<g class="description" data-id="(\d+)"([^>]*)>)#");
    std::regex attribute(R"#(data-([a-z]+)="([^"]*)")#");
    for (std::sregex_iterator d(svg.begin(), svg.end(), description), end; d != end; ++d) {
        std::string attributes = (*d)[2];
        auto& shown = f.descriptions[(*d)[1]];
        for (std::sregex_iterator a(attributes.begin(), attributes.end(), attribute); a != end; ++a)
            shown[(*a)[1]] = (*a)[2];
    }
    return f;
}

} // namespace

TEST(World, TheFigureSaysWhatTheKernelHolds)
{
    if (auto why = tracing_refused(); !why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    Process traced({.argv = {BIN_SYSCALL_TIMELINE, "--no-lines", "--plumbing", dir / "figures",
                             "--", TRACED_FORK_SHARES},
                    .dir = dir.path(),
                    .env = {kNoLeakCheck}});
    // Both wait on standard input once the child has opened the file again.
    std::vector<pid_t> pair;
    ASSERT_TRUE(eventually([&] {
        pair = running(traced.pid(), "fork_shares");
        return pair.size() == 2 && open_fds(pair[1]).size() >= 7;
    })) << traced.err();
    pid_t parent = pair[0];
    pid_t child = pair[1];
    // The kernel: fd 3 and the pipe's ends are one description each,
    // shared by parent and child; the child's fd 6 is one of its own.
    bool file_shared = same_description(parent, 3, child, 3);
    bool pipe_shared = same_description(parent, 5, child, 5);
    bool reopened_shared = same_description(child, 3, child, 6);
    FdInfo file = fdinfo(parent, 3);
    FdInfo reopened = fdinfo(child, 6);
    FdInfo pipe_end = fdinfo(child, 5);
    traced.close_input();
    ASSERT_TRUE(traced.finish(kDeadline));
    ASSERT_EQ(traced.exit_code(), 0) << traced.err();
    ASSERT_TRUE(file_shared && pipe_shared && !reopened_shared);
    ASSERT_EQ(file.pos, 5);
    ASSERT_EQ(reopened.pos, 0);
    ASSERT_NE(pipe_end.flags & O_NONBLOCK, 0u);

    // The figure of that moment, the last one: the same facts.
    std::vector<std::string> svgs;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "figures"))
        svgs.push_back(entry.path().string());
    std::sort(svgs.begin(), svgs.end());
    ASSERT_FALSE(svgs.empty());
    Figure f = read_figure(read_file(svgs.back()));
    auto at = [&](pid_t pid, int fd) { return f.fds[{int(pid), fd}]; };
    ASSERT_FALSE(at(child, 6).empty()) << svgs.back();
    EXPECT_EQ(at(parent, 3) == at(child, 3), file_shared);
    EXPECT_EQ(at(parent, 5) == at(child, 5), pipe_shared);
    EXPECT_EQ(at(child, 3) == at(child, 6), reopened_shared);
    auto& shared_file = f.descriptions[at(parent, 3)];
    EXPECT_EQ(shared_file["offset"], std::to_string(file.pos));
    EXPECT_EQ(shared_file["refs"], "2");
    EXPECT_EQ(shared_file["object"], "shared.txt");
    EXPECT_EQ(f.descriptions[at(child, 6)]["offset"], std::to_string(reopened.pos));
    EXPECT_EQ(f.descriptions[at(child, 6)]["refs"], "1");
    EXPECT_EQ(f.descriptions[at(child, 5)]["flags"], "O_NONBLOCK");
    EXPECT_EQ(f.descriptions[at(child, 5)]["refs"], "2");
    EXPECT_NE(read_file(svgs.back()).find("3 bytes unread: &quot;abc&quot;"), std::string::npos);
}

// What each step changed, applied in order from the start, gives the world
// at every moment the model drew; undone from the end, the world before.
TEST(World, EachStepsChangesReplayForwardsAndBackwards)
{
    auto run = model_of_files(traces_in(std::string(TRACE_FIXTURES) + "/echo_five"), true);
    ASSERT_NE(run.world(), nullptr);
    const auto& changes = run.world()->changes();
    ASSERT_FALSE(changes.empty());

    struct Replayed {
        std::map<int, timeline::WorldProcess> processes;
        std::map<size_t, timeline::WorldDescription> descriptions;
        std::map<size_t, timeline::WorldObject> objects;
    };
    // Forwards, keeping what each change replaced, to undo it.
    Replayed now;
    std::vector<Replayed> before; // the replaced things, as they were
    std::map<size_t, Replayed> at_step;
    for (const auto& c : changes) {
        Replayed old;
        for (int pid : c.processes_gone) {
            old.processes[pid] = now.processes[pid];
            now.processes.erase(pid);
        }
        for (const auto& p : c.processes) {
            if (now.processes.count(p.pid))
                old.processes[p.pid] = now.processes[p.pid];
            now.processes[p.pid] = p;
        }
        for (size_t id : c.descriptions_gone)
            now.descriptions.erase(id);
        for (const auto& [id, d] : c.descriptions)
            now.descriptions[id] = d;
        for (size_t id : c.objects_gone)
            now.objects.erase(id);
        for (const auto& [id, o] : c.objects)
            now.objects[id] = o;
        before.push_back(std::move(old));
        at_step[c.step] = now;
    }
    // The moments the model drew hold the same tables.
    size_t compared = 0;
    for (const auto& moment : run.plumbing()) {
        auto replayed = std::prev(at_step.upper_bound(moment.step));
        for (const auto& p : moment.world.processes) {
            ASSERT_TRUE(replayed->second.processes.count(p.pid));
            EXPECT_EQ(replayed->second.processes[p.pid].fds, p.fds) << "step " << moment.step;
        }
        for (const auto& [id, d] : moment.world.descriptions) {
            EXPECT_EQ(replayed->second.descriptions[id].refs, d.refs) << "step " << moment.step;
            EXPECT_EQ(replayed->second.descriptions[id].end, d.end);
        }
        ++compared;
    }
    EXPECT_GE(compared, 3u);

    // After the fork, parent and child point at one description for each
    // pipe end: two references; after the closes, one each.
    const auto& fork = run.plumbing()[1];
    ASSERT_EQ(fork.world.processes.size(), 2u);
    const auto& parent = fork.world.processes[0];
    const auto& child = fork.world.processes[1];
    EXPECT_EQ(parent.fds.at(3), child.fds.at(3));
    EXPECT_EQ(fork.world.descriptions.at(parent.fds.at(3)).refs, 2);
    EXPECT_EQ(fork.world.descriptions.at(parent.fds.at(1)).refs, 2); // the terminal, from outside
    EXPECT_TRUE(fork.world.descriptions.at(parent.fds.at(1)).outside);
    const auto& closed = run.plumbing()[2];
    EXPECT_EQ(closed.world.descriptions.at(closed.world.processes[0].fds.at(3)).refs, 1);

    // The child's read took the numbers, its write reached the terminal:
    // the last world shows what the terminal received.
    bool terminal = false;
    for (const auto& [id, o] : now.objects)
        if (o.channel.kind == timeline::Channel::Kind::terminal) {
            terminal = true;
            EXPECT_EQ(o.received, 5);
            EXPECT_EQ(o.received_bytes, "12345");
        }
    EXPECT_TRUE(terminal);
    // A change per step at most, each far smaller than the world.
    EXPECT_LE(changes.size(), run.steps().size());
}

// A write of more than the pipe has room for puts in what fits and waits
// for the rest: while it waits, how many bytes the pipe holds, to the
// byte, is the kernel's to say, and the world says "up to". The write's
// end makes no step: the count is exact again from the next step on.
TEST(World, AWriteWaitingForRoomLeavesTheCountOpen)
{
    TempDir dir;
    write_file(dir / "run.trace",
               "100 1.000000 pipe2([3<pipe:[9]>, 4<pipe:[9]>], 0) = 0 <0.000010>\n"
               "100 1.000100 clone(child_stack=NULL, flags=SIGCHLD) = 101 <0.000050>\n"
               "100 1.000200 write(4<pipe:[9]>, \"xx\"..., 70000 <unfinished ...>\n"
               "101 1.000300 read(3<pipe:[9]>, \"xx\"..., 100) = 100 <0.000010>\n"
               "100 1.000400 <... write resumed>) = 70000 <0.000200>\n"
               "101 1.000500 read(3<pipe:[9]>, \"xx\"..., 69000) = 69000 <0.000010>\n"
               "101 1.000600 read(3<pipe:[9]>, \"xx\"..., 900) = 900 <0.000010>\n");
    auto run = model_of_files({dir / "run.trace"}, true);
    ASSERT_NE(run.world(), nullptr);
    // The pipe's count and whether it is exact, after each step that changed it.
    std::vector<std::pair<long long, bool>> counts;
    for (const auto& c : run.world()->changes())
        for (const auto& [id, o] : c.objects)
            if (o.channel.kind == timeline::Channel::Kind::pipe &&
                (counts.empty() || counts.back() != std::pair(o.in_flight, o.in_flight_exact)))
                counts.emplace_back(o.in_flight, o.in_flight_exact);
    // The read of 100 leaves 69900 written, more than the pipe holds:
    // still "up to", until the step after the write's end.
    std::vector<std::pair<long long, bool>> expected{
        {0, true}, {65536, false}, {900, true}, {0, true}};
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(timeline::in_flight_text({.in_flight = 65536, .in_flight_exact = false}),
              "up to 65536 bytes unread");
}

// Every step of runs that sleep, pipe, fork and exit: each process is
// inside a call exactly while one of its calls, by the steps' own begin and
// end times, has begun and not returned; "waiting" only in a call that
// waited (a sleep, a read of bytes not there yet), never in a getpid; and
// a process that exits is no longer running at the step that tells it.
TEST(World, EachProcessIsInsideACallFromItsEntryToItsReturn)
{
    constexpr double kSame = 1e-6;
    for (const char* lesson :
         {"two_children", "parent_exit_watch", "sleep_ladder", "child_to_parent"}) {
        SCOPED_TRACE(lesson);
        auto run = model_of_files(traces_in(std::string(TRACE_FIXTURES) + "/" + lesson), true);
        ASSERT_NE(run.world(), nullptr);
        const auto& steps = run.steps();
        std::map<int, timeline::WorldProcess> now;
        auto change = run.world()->changes().begin();
        size_t inside = 0;
        for (size_t i = 0; i < steps.size(); ++i) {
            if (change != run.world()->changes().end() && change->step == i) {
                for (int pid : change->processes_gone)
                    now.erase(pid);
                for (const auto& p : change->processes)
                    now[p.pid] = p;
                ++change;
            }
            double t = steps[i].time;
            for (const auto& [pid, p] : now) {
                if (steps[i].pid == pid && steps[i].is<timeline::step::Exit>()) {
                    EXPECT_NE(p.life, timeline::WorldProcess::Life::running) << "step " << i;
                }
                if (p.life != timeline::WorldProcess::Life::running) {
                    EXPECT_FALSE(p.in_call) << "step " << i;
                    continue;
                }
                std::optional<size_t> spans;
                for (size_t j = 0; j < steps.size(); ++j)
                    if (steps[j].pid == pid && steps[j].began + kSame < t &&
                        t + kSame < steps[j].ended)
                        spans = j;
                if (spans) {
                    EXPECT_EQ(p.in_call, spans) << "step " << i << ", process " << pid;
                }
                if (!p.in_call)
                    continue;
                ++inside;
                const timeline::Step& call = steps[*p.in_call];
                EXPECT_EQ(call.pid, pid);
                EXPECT_LE(call.began, t + kSame) << "step " << i;
                if (call.is<timeline::step::AskPid>() || call.is<timeline::step::AskParent>()) {
                    EXPECT_FALSE(p.call_waits) << "step " << i;
                }
                if (call.is<timeline::step::Sleep>()) {
                    EXPECT_TRUE(p.call_waits) << "step " << i;
                }
            }
        }
        EXPECT_GT(inside, 0u);
    }
}
