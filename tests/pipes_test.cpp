// The parent-child exchanges over anonymous pipes.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <map>
#include <regex>

#include "harness.hpp"

using namespace harness;

namespace {

// Runs a program to its end, with or without a terminal.
struct Finished {
    Finished(const char* program, bool terminal, std::optional<std::string> input = std::nullopt,
             std::vector<std::string> env = {})
        : process({.argv = {program},
                   .dir = dir.path(),
                   .terminal = terminal,
                   .input = std::move(input),
                   .env = std::move(env)})
    {
        EXPECT_TRUE(process.finish());
    }
    TempDir dir;
    Process process;
};

// Once the program has ended, nothing of its process group is left: the
// parent has outlived its child and collected it.
bool group_gone(pid_t pgid)
{
    return kill(-pgid, 0) == -1 && errno == ESRCH;
}

} // namespace

// The child prints its own pid and the date that the parent read: the
// fixed ctime layout, a blank before a day of month below 10.
TEST(Pipes, DateHandoffPrintsTheParentsDate)
{
    const std::pair<const char*, const char*> dates[] = {
        {"2026-03-05 07:08:09", "Thu Mar  5 07:08:09 2026"},
        {"2026-12-24 23:59:58", "Thu Dec 24 23:59:58 2026"},
    };
    for (bool terminal : {false, true}) {
        for (const auto& [when, shown] : dates) {
            auto env = fake_time(when);
            env.push_back("TZ=UTC");
            std::string date = shown;
            if (!kFakeTimeUsable) { // today's date, in the same layout
                env = {};
                date = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9:]{8} [0-9]{4}";
            }
            Finished run(BIN_DATE_HANDOFF, terminal, std::nullopt, env);
            std::smatch m;
            const std::regex expected("Soy el hijo con el pid ([0-9]+)\nFecha/Hora: " + date +
                                      "\n");
            ASSERT_TRUE(std::regex_match(run.process.out(), m, expected)) << run.process.out();
            pid_t child = std::stoi(m[1]);
            EXPECT_NE(child, run.process.pid());
            EXPECT_GT(child, 0);
            EXPECT_EQ(run.process.exit_code(), 0);
            EXPECT_EQ(run.process.err(), "");
            EXPECT_TRUE(group_gone(run.process.pid()));
        }
    }
}

// The child writes first and ends; the parent waits, then reads: the same
// order on a terminal and into a pipe.
TEST(Pipes, ChildToParent)
{
    for (bool terminal : {false, true}) {
        Finished run(BIN_CHILD_TO_PARENT, terminal);
        EXPECT_EQ(run.process.out(), "El hijo escribe en el PIPE \n"
                                     "El padre lee el PIPE\n"
                                     "\t Mensaje le\xc3\xad"
                                     "do del pipe: Hola padre \n");
        EXPECT_EQ(run.process.exit_code(), 0);
        EXPECT_TRUE(group_gone(run.process.pid()));
    }
}

// The parent writes while the child reads. Into a pipe each process's
// lines leave when it ends, so the parent's come last; on a terminal the
// two announcements may come in either order, the message always last.
TEST(Pipes, ParentToChild)
{
    const std::string child = "El hijo se dispone a leee del PIPE \n";
    const std::string parent = "El padre escribe en el PIPE...\n";
    const std::string message = "\t Mensaje leido del pipe: Hola hijo \n";

    Finished piped(BIN_PARENT_TO_CHILD, false);
    EXPECT_EQ(piped.process.out(), child + message + parent);
    EXPECT_EQ(piped.process.exit_code(), 0);

    Finished shown(BIN_PARENT_TO_CHILD, true);
    const std::string& out = shown.process.out();
    EXPECT_TRUE(out == child + parent + message || out == parent + child + message) << out;
    EXPECT_EQ(shown.process.exit_code(), 0);
    EXPECT_TRUE(group_gone(shown.process.pid()));
}

// Five numbers, whatever white space separates them, echoed side by side.
// Bad or missing input ends the child with a message, and the parent ends
// with the child's status.
TEST(Pipes, EchoFiveEchoesWhatItRead)
{
    struct Case {
        std::string input;
        std::string out;
        std::string err;
        int code;
    };
    const Case cases[] = {
        {"1 2 3 4 5\n", "12345", "", 0},
        {"-7\n8\n\n 9\t10\n-11", "-78910-11", "", 0},
        {"1 2 x 4 5\n", "12", "echo_five: expected five integers, read 2\n", 1},
        {"1 2 3", "123", "echo_five: expected five integers, read 3\n", 1},
        {"", "", "echo_five: expected five integers, read 0\n", 1},
        // Every int is echoed as it is; one that does not fit is refused.
        {"-2147483648 2147483647 +5 -0 007", "-21474836482147483647507", "", 0},
        {"1 2147483648 3 4 5", "1", "echo_five: 2147483648: out of range\n", 1},
        {"-2147483649", "", "echo_five: -2147483649: out of range\n", 1},
        {"99999999999999999999 1 2 3 4", "", "echo_five: 99999999999999999999: out of range\n", 1},
    };
    for (bool terminal : {false, true}) {
        for (const auto& c : cases) {
            Finished run(BIN_ECHO_FIVE, terminal, c.input);
            EXPECT_EQ(run.process.out(), c.out) << c.input;
            EXPECT_EQ(run.process.err(), c.err) << c.input;
            EXPECT_EQ(run.process.exit_code(), c.code) << c.input;
        }
    }

    // Standard input that cannot be read at all: the reason, not a count.
    const std::pair<std::function<void()>, std::string> unreadable[] = {
        {[] { dup2(open("/", O_RDONLY | O_DIRECTORY), 0); }, "Is a directory"},
        {[] { close(0); }, "Bad file descriptor"},
    };
    for (const auto& [prepare, reason] : unreadable) {
        TempDir dir;
        Process p({.argv = {BIN_ECHO_FIVE}, .dir = dir.path(), .before_exec = prepare});
        ASSERT_TRUE(p.finish());
        EXPECT_EQ(p.err(), "echo_five: standard input: " + reason + "\n");
        EXPECT_EQ(p.exit_code(), 1);
    }
}

// While the child waits for its numbers, the system shows which pipe ends
// each process holds: parent A read, B and C write; child A write, B and C
// read; the same three pipes on both sides.
TEST(Pipes, EchoFiveHoldsThePipeLayout)
{
    TempDir dir;
    Process p({.argv = {BIN_ECHO_FIVE}, .dir = dir.path()});
    pid_t child = 0;
    ASSERT_TRUE(eventually([&] {
        auto kids = children(p.pid());
        if (kids.size() != 1)
            return false;
        child = kids[0];
        // Both have closed the three ends they do not keep.
        return open_fds(child).size() == 6 && open_fds(p.pid()).size() == 6;
    }));

    // fd -> (pipe inode text, "r" or "w")
    auto pipe_ends = [](pid_t pid) {
        std::map<int, std::pair<std::string, char>> ends;
        for (const auto& [fd, target] : open_fds(pid)) {
            if (fd <= 2 || target.rfind("pipe:", 0) != 0)
                continue;
            std::string info =
                read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
            std::smatch m;
            std::regex_search(info, m, std::regex("flags:\\s+([0-7]+)"));
            int flags = std::stoi(m[1], nullptr, 8);
            ends[fd] = {target, (flags & O_ACCMODE) == O_WRONLY ? 'w' : 'r'};
        }
        return ends;
    };
    auto parent = pipe_ends(p.pid());
    auto kid = pipe_ends(child);

    // Created A (3, 4), B (5, 6), C (7, 8).
    ASSERT_EQ(parent.size(), 3u);
    ASSERT_EQ(kid.size(), 3u);
    EXPECT_EQ(parent[3].second, 'r');
    EXPECT_EQ(parent[6].second, 'w');
    EXPECT_EQ(parent[8].second, 'w');
    EXPECT_EQ(kid[4].second, 'w');
    EXPECT_EQ(kid[5].second, 'r');
    EXPECT_EQ(kid[7].second, 'r');
    EXPECT_EQ(parent[3].first, kid[4].first); // A
    EXPECT_EQ(parent[6].first, kid[5].first); // B
    EXPECT_EQ(parent[8].first, kid[7].first); // C
    EXPECT_NE(parent[3].first, parent[6].first);
    EXPECT_NE(parent[6].first, parent[8].first);

    p.write_input("10 20 30 40 50\n");
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.out(), "1020304050");
    EXPECT_EQ(p.exit_code(), 0);
}

// A fork that fails is reported, and nothing of the normal output appears.
TEST(Pipes, ForkFailureIsReported)
{
    const std::pair<const char*, const char*> programs[] = {
        {BIN_DATE_HANDOFF, "date_handoff"},
        {BIN_CHILD_TO_PARENT, "child_to_parent"},
        {BIN_PARENT_TO_CHILD, "parent_to_child"},
        {BIN_ECHO_FIVE, "echo_five"},
    };
    for (const auto& [program, name] : programs)
        expect_fork_failure_reported(program, name);
}
