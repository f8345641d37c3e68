#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.hpp"
#include "traced.hpp"

using namespace harness;
using namespace traces;

// Every stored trace, the lessons' and the fuzzer's seeds: each step's
// words agree with the lines it was made from.
TEST(Oracle, StoredTracesAgreeWithTheirLines)
{
    for (const auto& folder : std::filesystem::directory_iterator(TRACE_FIXTURES)) {
        SCOPED_TRACE(folder.path().string());
        expect_steps_agree(traces_in(folder.path().string()), false);
    }
    for (const std::string& seed : traces_in(std::string(SOURCE_DIR) + "/timeline/fuzz/seeds")) {
        SCOPED_TRACE(seed);
        expect_steps_agree({seed}, false);
    }
}

// The checker itself: words that lie about a trace line are caught, each
// by the fact it states. A stand-in for the tool writes the steps.
TEST(Oracle, CheckerCatchesWordsThatDisagree)
{
    TempDir dir;
    write_file(dir / "run.trace", "7 1.000000 read(3<pipe:[5]>, \"abc\", 10) = 3 <0.000010>\n"
                                  "7 1.000100 read(3<pipe:[5]>,  <unfinished ...>\n"
                                  "8 1.000200 kill(7, SIGKILL) = 0 <0.000010>\n"
                                  "7 1.100000 <... read resumed> <unfinished ...>) = ?\n"
                                  "7 1.100100 +++ killed by SIGKILL +++\n"
                                  "8 1.200000 setpgid(0, 0)   = -1 EPERM (Operation not "
                                  "permitted) <0.000010>\n"
                                  "8 1.300000 alarm(5)        = 2 <0.000010>\n");
    const std::pair<const char*, const char*> lies[] = {
        {R"j({"step":0,"pid":7,"words":"reads 4 bytes from fd 3 (pipe A)","began":0,"ended":0,"error":"","trace":[0,1,1],"call":true})j",
         "reads 4 bytes, but strace says"},
        {R"j({"step":0,"pid":7,"words":"reads 3 bytes from fd 9 (pipe A)","began":0,"ended":0,"error":"","trace":[0,1,1],"call":true})j",
         "fd 9 is no descriptor of the call"},
        {R"j({"step":0,"pid":7,"words":"read returned 0 on fd 3 (pipe A): end of data","began":0,"ended":0.1,"error":"","trace":[0,2,4],"call":true})j",
         "read never returned (= ?), but the words tell a result"},
        {R"j({"step":0,"pid":7,"words":"was in read on fd 3 (pipe A) when it ended: the call never returned (it had waited 3.0 ms)","began":0,"ended":0.1,"error":"","trace":[0,2,4],"call":true})j",
         "waited 3.0 ms, strace measured"},
        {R"j({"step":0,"pid":7,"words":"ends: killed by SIGTERM","began":0,"ended":0,"error":"","trace":[0,5,5],"call":true})j",
         "killed by SIGTERM, strace says"},
        // strace pads a short call's result to a column.
        {R"j({"step":0,"pid":8,"words":"setpgid fails: EINVAL","began":0,"ended":0,"error":"EINVAL","trace":[0,6,6],"call":true})j",
         "error EINVAL, but strace says ['EPERM']"},
        {R"j({"step":0,"pid":8,"words":"sets an alarm: the kernel sends it SIGALRM in 3 seconds (the alarm it replaces had 2 seconds left)","began":0,"ended":0,"error":"","trace":[0,7,7],"call":true})j",
         "alarm(5), but the words say"},
        {R"j({"step":0,"pid":8,"words":"sets an alarm: the kernel sends it SIGALRM in 5 seconds","began":0,"ended":0,"error":"","trace":[0,7,7],"call":true})j",
         "alarm returned 2 seconds left"},
    };
    for (const auto& [steps, caught] : lies) {
        write_file(dir / "steps.json", std::string(steps) + "\n");
        write_file(dir / "tool", "#!/bin/sh\ncp '" + (dir / "steps.json") + "' \"$2\"\n");
        ASSERT_EQ(chmod((dir / "tool").c_str(), 0755), 0);
        Process check(
            {.argv = {"/usr/bin/python3", std::string(SOURCE_DIR) + "/tests/oracle/check_steps.py",
                      dir / "tool", dir / "run.trace"}});
        ASSERT_TRUE(check.finish());
        EXPECT_EQ(check.exit_code(), 1) << steps;
        EXPECT_NE(check.out().find(caught), std::string::npos) << caught << "\n" << check.out();
    }
}

namespace {

// scripts/oracle with these arguments, against this build: its summary,
// after its status is checked.
std::string oracle(const std::vector<std::string>& arguments)
{
    TempDir dir;
    std::vector<std::string> argv = {
        "/usr/bin/python3", std::string(SOURCE_DIR) + "/scripts/oracle",
        "--build",          BUILD_DIR,
        "--jobs",           "2",
        "--failures",       dir / "failures",
        "--shrink",         "0"}; // shrinking is for scripts/oracle's long runs
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Process run({.argv = argv, .dir = dir.path(), .env = {kNoLeakCheck}});
    EXPECT_TRUE(run.finish(std::chrono::seconds(280)));
    EXPECT_EQ(run.exit_code(), 0) << run.out() << run.err();
    std::printf("%s", run.out().c_str()); // the counts, for the log
    return run.out();
}

} // namespace

// The small programs the tests trace, each with checkpoints where its
// descriptor tables are worth reading: at each one the kernel's view (its
// descriptors, what they share, offsets, flags, bytes in pipes, zombies
// and parents) is what the tool claims. A family of a thousand that waits
// to be killed is left out.
TEST(Oracle, TracedProgramsAgreeWithTheKernel)
{
    SKIP_WITHOUT_TRACING();
    std::vector<std::string> arguments = {"--program"};
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tests/programs"))
        if (entry.path().extension() == ".c" && entry.path().stem() != "many_children")
            arguments.push_back(entry.path().string());
    std::string summary = oracle(arguments);
    EXPECT_NE(summary.find(", 0 programs with differences"), std::string::npos) << summary;
}

// Every lesson, as a learner runs it on a terminal: at each moment its
// family waits (in sleep, in the open of a FIFO, in a read, or in a write
// to the terminal, whose output the harness holds and lets through a line
// at a time), the kernel's view is what the tool claims. The writers run
// against the classifier from a shell, as ./demo runs them; the lessons
// that never end are ended with SIGTERM after a few seconds, as Ctrl-C
// would end them. They run side by side.
TEST(Oracle, LessonsAgreeWithTheKernel)
{
    SKIP_WITHOUT_TRACING();
    const std::string bin = std::string(PROGRAM_DIR) + "/";
    TempDir input;
    write_file(input / "numbers", "1 2 3 4 5\n");
    const std::vector<std::vector<std::string>> runs_of = {
        {"--", bin + "child_to_parent"},
        {"--", bin + "parent_to_child"},
        {"--", bin + "date_handoff"},
        {"--input", input / "numbers", "--", bin + "echo_five"},
        {"--", bin + "list_files"},
        {"--", bin + "list_processes"},
        {"--for", "4", "--", bin + "two_children"},
        {"--for", "4", "--", bin + "parent_exit_watch"},
        {"--for", "4", "--", bin + "sleep_ladder"},
        {"--", "/bin/sh", "-c",
         "mkfifo FIFOVEK FIFO2; '" + bin + "phrase_classifier' & '" + bin + "send_digits'; '" +
             bin + "send_words'; '" + bin + "send_mixed'; kill $!; '" + bin +
             "send_greeting' & exec cat FIFO2"},
    };
    std::vector<std::unique_ptr<Process>> runs;
    std::vector<TempDir> dirs(runs_of.size());
    for (size_t i = 0; i < runs_of.size(); ++i) {
        std::vector<std::string> argv = {"/usr/bin/python3",
                                         std::string(SOURCE_DIR) + "/tests/oracle/kernel_check.py",
                                         "--terminal"};
        auto split = std::find(runs_of[i].begin(), runs_of[i].end(), "--");
        argv.insert(argv.end(), runs_of[i].begin(), split);
        argv.push_back(BIN_SYSCALL_TIMELINE);
        argv.insert(argv.end(), split, runs_of[i].end());
        runs.push_back(std::make_unique<Process>(
            Options{.argv = argv, .dir = dirs[i].path(), .env = {kNoLeakCheck}}));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string& what = runs_of[i].back();
        ASSERT_TRUE(runs[i]->finish()) << what;
        EXPECT_EQ(runs[i]->exit_code(), 0) << what << "\n" << runs[i]->out() << runs[i]->err();
        EXPECT_EQ(runs[i]->out().find(" 0 moments"), std::string::npos) << what << runs[i]->out();
        std::printf("%s: %s", what.substr(what.rfind('/') + 1, 40).c_str(),
                    runs[i]->out().c_str()); // the counts, for the log
    }
}

// Exercises made at random from fixed seeds, as a systems course would
// give them: the same agreement, and each trace's steps agree with their
// lines. (scripts/oracle --programs 2000 is the long run.)
TEST(Oracle, GeneratedExercisesAgreeWithTheKernel)
{
    SKIP_WITHOUT_TRACING();
    std::string summary = oracle({"--programs", "50"});
    EXPECT_NE(summary.find("50 programs"), std::string::npos) << summary;
}

// The kernel harness itself: a tool that claims a wrong world is caught,
// by the fact it gets wrong. A stand-in records with the real tool, then
// spoils the world it writes: a close that keeps the descriptor (one more
// in a table than the kernel has), a fork that does not share the open
// file descriptions (the child's descriptors given descriptions of their
// own), a signal said to be blocked, and a process said to lead a group.
TEST(Oracle, KernelHarnessCatchesAWrongWorld)
{
    SKIP_WITHOUT_TRACING();
    const std::pair<const char*, const char*> faults[] = {
        {"p['fds'] and p['fds'].update({'9': next(iter(p['fds'].values()))})",
         "fds: the kernel has"},
        {"p['fds'] = {fd: d + 1000 * (i > 0) for fd, d in p['fds'].items()}; "
         "w['descriptions'].update({str(int(k) + 1000): v for k, v in "
         "list(w['descriptions'].items())})",
         "shared descriptions: the kernel has"},
        {"p['blocked'] = p['blocked'] + ['SIGUSR1']", "signals blocked: the kernel has"},
        {"p['group'] = p['pid']", "process group: the kernel has"},
    };
    for (const auto& [fault, caught] : faults) {
        TempDir dir;
        write_file(dir / "spoil.py",
                   "import json, sys\n"
                   "lines = []\n"
                   "for line in open(sys.argv[1]):\n"
                   "    w = json.loads(line)\n"
                   "    for i, p in enumerate(w['processes']):\n"
                   "        " +
                       std::string(fault) +
                       "\n"
                       "    lines.append(json.dumps(w))\n"
                       "open(sys.argv[1], 'w').write('\\n'.join(lines) + '\\n')\n");
        // The recording is the tool itself (strace, as the harness expects).
        write_file(dir / "tool", std::string("#!/bin/sh\n[ \"$1\" = --world ] || exec '") +
                                     BIN_SYSCALL_TIMELINE + "' \"$@\"\n'" + BIN_SYSCALL_TIMELINE +
                                     "' \"$@\" || exit\nexec python3 '" + (dir / "spoil.py") +
                                     "' \"$2\"\n");
        ASSERT_EQ(chmod((dir / "tool").c_str(), 0755), 0);
        Process check(
            {.argv = {"/usr/bin/python3", std::string(SOURCE_DIR) + "/tests/oracle/kernel_check.py",
                      dir / "tool", "--", TRACED_FORK_SHARES},
             .dir = dir.path(),
             .env = {kNoLeakCheck}});
        ASSERT_TRUE(check.finish());
        EXPECT_EQ(check.exit_code(), 1) << fault << "\n" << check.out() << check.err();
        EXPECT_NE(check.out().find(caught), std::string::npos) << caught << "\n" << check.out();
    }
}
