// The process lifecycles, checked against the system's own view of them in
// /proc. Sleeps are sped up with libfaketime, but for one real-time check.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "harness.hpp"

using namespace harness;

namespace {

// Every sleep `factor` times shorter, where libfaketime can be used; the
// returned factor is the one in force.
std::pair<std::vector<std::string>, int> faster(int factor)
{
    if (!kFakeTimeUsable)
        return {{}, 1};
    return {fake_time("+0 x" + std::to_string(factor)), factor};
}

std::vector<std::smatch> matches(const std::string& text, const std::regex& line)
{
    return {std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()};
}

// Makes the test adopt the orphans of the processes it starts, so that the
// adopter is known.
struct Subreaper {
    Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

const char kChildLine[] = "Soy un proceso hijo y el pid de mi padre es = ([0-9]+)\n";

} // namespace

// Two children that print and end; the parent never waits, so both stay
// as zombies whose parent is the program, and it speaks only after three
// seconds.
TEST(Lifecycle, TwoChildrenStayDefunct)
{
    TempDir dir;
    auto start = std::chrono::steady_clock::now();
    Process p({.argv = {BIN_TWO_CHILDREN}, .dir = dir.path(), .terminal = true});
    const std::regex child_line("proceso hijo pid = ([0-9]+) ; proceso padre pid = ([0-9]+)\n");
    ASSERT_TRUE(eventually([&] {
        p.collect(10ms);
        return matches(p.out(), child_line).size() == 2;
    }));
    auto lines = matches(p.out(), child_line);
    pid_t first = std::stoi(lines[0][1]);
    pid_t second = std::stoi(lines[1][1]);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::stoi(lines[0][2]), p.pid());
    EXPECT_EQ(std::stoi(lines[1][2]), p.pid());

    ASSERT_TRUE(eventually([&] {
        auto a = proc_stat(first);
        auto b = proc_stat(second);
        return a && b && a->state == 'Z' && b->state == 'Z';
    }));
    EXPECT_EQ(proc_stat(first)->ppid, p.pid());
    EXPECT_EQ(proc_stat(second)->ppid, p.pid());
    auto kids = children(p.pid());
    EXPECT_EQ(kids.size(), 2u) << "exactly two children";

    const std::string parent_line =
        "Soy el proceso padre con pid= " + std::to_string(p.pid()) + "\n";
    ASSERT_TRUE(p.wait_for_output(parent_line, kDeadline));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
    EXPECT_EQ(p.out().substr(p.out().size() - parent_line.size()), parent_line);
    EXPECT_EQ(matches(p.out(), child_line).size(), 2u);
    EXPECT_EQ(proc_stat(first)->state, 'Z');
}

// The child reports its parent's pid; after the parent's last line it
// reports its adopter's, here the test, and keeps going.
TEST(Lifecycle, ParentExitWatchChildIsAdopted)
{
    Subreaper adopter;
    TempDir dir;
    auto [env, factor] = faster(5);
    Process p({.argv = {BIN_PARENT_EXIT_WATCH}, .dir = dir.path(), .terminal = true, .env = env});
    const std::string parent = std::to_string(p.pid());
    ASSERT_TRUE(p.wait_exit(15000ms / factor));
    EXPECT_EQ(p.exit_code(), 0);
    const std::string me = std::to_string(getpid());
    ASSERT_TRUE(eventually([&] {
        p.collect(10ms);
        auto lines = matches(p.out(), std::regex(kChildLine));
        return lines.size() >= 2 && lines.back()[1] == me && lines[lines.size() - 2][1] == me;
    }));

    const std::string& out = p.out();
    EXPECT_NE(out.find("Soy el proceso padre con pid = " + parent + "\n"), std::string::npos);
    auto end = out.find("El proceso padre termina\n");
    ASSERT_NE(end, std::string::npos);
    // First the lines that name the first parent (about ten: how many of
    // the child's passes fall within the parent's life is the scheduler's
    // choice), then only the adopter's, every one after the parent's last
    // line: the child is adopted only once the parent has ended.
    auto lines = matches(out, std::regex(kChildLine));
    size_t first_parent = 0;
    while (first_parent < lines.size() && lines[first_parent][1] == parent)
        ++first_parent;
    EXPECT_GE(first_parent, 1u) << out;
    for (size_t i = first_parent; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i][1], me) << out;
        EXPECT_GT(size_t(lines[i].position()), end) << out;
    }

    // The system agrees: the child, still in the program's process group,
    // lives on, adopted by us.
    pid_t child = 0;
    for (pid_t k : children(getpid())) {
        auto st = proc_stat(k);
        if (k != p.pid() && st && st->pgrp == p.pid() && st->state != 'Z')
            child = k;
    }
    ASSERT_NE(child, 0);
    EXPECT_EQ(proc_stat(child)->ppid, getpid());
}

// Into a pipe the parent's two lines leave together when it ends; the
// child's are still in its buffer.
TEST(Lifecycle, ParentExitWatchIntoAPipe)
{
    Subreaper adopter;
    TempDir dir;
    auto [env, factor] = faster(10);
    Process p({.argv = {BIN_PARENT_EXIT_WATCH}, .dir = dir.path(), .env = env});
    ASSERT_TRUE(p.wait_exit(15000ms / factor));
    EXPECT_EQ(p.out(), "Soy el proceso padre con pid = " + std::to_string(p.pid()) +
                           "\nEl proceso padre termina\n");
    EXPECT_EQ(p.exit_code(), 0);
}

// In real time, once: the parent ends no sooner than ten seconds after
// its first line (how much later is the scheduler's).
TEST(Lifecycle, ParentExitWatchParentLivesTenSeconds)
{
    Subreaper adopter;
    TempDir dir;
    Process p({.argv = {BIN_PARENT_EXIT_WATCH}, .dir = dir.path(), .terminal = true});
    ASSERT_TRUE(p.wait_for_output("Soy el proceso padre con pid = "));
    auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(p.wait_for_output("El proceso padre termina\n", kDeadline));
    auto lived = std::chrono::steady_clock::now() - first;
    EXPECT_GE(lived, 9500ms);
}

// The announcements 10 to 100 by 5, then the goodbye.
TEST(Lifecycle, SleepLadderClimbsToTheEnd)
{
    if (!kFakeTimeUsable)
        GTEST_SKIP() << "takes 17 minutes without libfaketime";
    std::string expected;
    for (int seconds = 10; seconds <= 100; seconds += 5)
        expected += "Me voy a dormir " + std::to_string(seconds) + " segundos \n";
    expected += "\nFin de programa....\n";
    for (bool terminal : {false, true}) {
        TempDir dir;
        Process p({.argv = {BIN_SLEEP_LADDER},
                   .dir = dir.path(),
                   .terminal = terminal,
                   .env = faster(500).first});
        ASSERT_TRUE(p.finish(kDeadline));
        EXPECT_EQ(p.out(), expected);
        EXPECT_EQ(p.exit_code(), 0);
    }
}

// On a terminal the first announcement shows before the first sleep ends;
// into a pipe, a signal during the sleeps leaves nothing.
TEST(Lifecycle, SleepLadderStoppedEarly)
{
    TempDir dir;
    Process shown({.argv = {BIN_SLEEP_LADDER}, .dir = dir.path(), .terminal = true});
    Process piped({.argv = {BIN_SLEEP_LADDER}, .dir = dir.path()});
    ASSERT_TRUE(shown.wait_for_output("Me voy a dormir 10 segundos \n", kDeadline));
    EXPECT_EQ(shown.out(), "Me voy a dormir 10 segundos \n");
    ASSERT_TRUE(eventually([&] {
        auto st = proc_stat(piped.pid());
        return st && st->state == 'S';
    }));
    piped.signal_group(SIGTERM);
    ASSERT_TRUE(piped.finish());
    EXPECT_EQ(piped.term_signal(), SIGTERM);
    EXPECT_EQ(piped.out(), "");
}

// A fork that fails is reported; nothing else is printed.
TEST(Lifecycle, ForkFailureIsReported)
{
    const std::pair<const char*, const char*> programs[] = {
        {BIN_PARENT_EXIT_WATCH, "parent_exit_watch"},
        {BIN_TWO_CHILDREN, "two_children"},
    };
    for (const auto& [program, name] : programs)
        expect_fork_failure_reported(program, name);
}
