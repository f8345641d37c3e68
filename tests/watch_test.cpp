// family_watch beside the lessons: its snapshot (--once) checked against
// the system's own view in /proc, and its live screen driven in tmux.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "family.hpp"
#include "harness.hpp"
#include "words.hpp"

using namespace harness;

namespace {

std::string once(pid_t pid)
{
    Process p({.argv = {BIN_FAMILY_WATCH, "--once", std::to_string(pid)}});
    EXPECT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    return p.out();
}

// The line of a process in the tree: "7365 echo_five: sleeping in ...".
std::string line_of(const std::string& snapshot, pid_t pid)
{
    std::smatch m;
    // A process's line: its branch, its program and its pid.
    std::regex line("(^|\n)[ `\xe2\x94\x80\x94\x82\x94\x94-]*[^ \n]+ " + std::to_string(pid) +
                    ":[^\n]*");
    return std::regex_search(snapshot, m, line) ? m.str() : std::string();
}

std::vector<pid_t> children_in(pid_t pid, char state)
{
    std::vector<pid_t> found;
    for (pid_t c : children(pid))
        if (auto st = proc_stat(c); st && st->state == state)
            found.push_back(c);
    return found;
}

// A tmux server of the test's own, one window, killed at the end.
class Tmux {
public:
    explicit Tmux(const std::vector<std::string>& command)
        : socket_("family-watch-test-" + std::to_string(getpid()))
    {
        std::vector<std::string> argv = {"/usr/bin/tmux", "-L", socket_, "new-session", "-d", "-x",
                                         "150",           "-y", "50"};
        argv.insert(argv.end(), command.begin(), command.end());
        Process p({.argv = argv});
        EXPECT_TRUE(p.finish());
    }
    ~Tmux()
    {
        Process p({.argv = {"/usr/bin/tmux", "-L", socket_, "kill-server"}});
        (void)p.finish();
    }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;
    // With `escapes`, the terminal's attributes and character sets too:
    // line-drawing characters are the DEC set's letters between a
    // shift-out and a shift-in ("\x0emq\x0f", a corner and a line).
    std::string screen(bool escapes = false) const
    {
        std::vector<std::string> argv = {"/usr/bin/tmux", "-L", socket_, "capture-pane", "-p"};
        if (escapes)
            argv.push_back("-e");
        Process p({.argv = argv});
        (void)p.finish();
        return p.out();
    }
    // The program the window runs.
    pid_t program() const
    {
        Process p(
            {.argv = {"/usr/bin/tmux", "-L", socket_, "display-message", "-p", "#{pane_pid}"}});
        (void)p.finish();
        return pid_t(std::atol(p.out().c_str()));
    }

private:
    std::string socket_;
};

// How often a process has given up the processor to wait: each poll that
// slept and was woken.
long waits_of(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nvoluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + status.find(':', at) + 1);
}

} // namespace

TEST(Watch, SnapshotsSayWhatProcSays)
{
    // two_children: two zombies of their parent.
    TempDir dir;
    Process two({.argv = {BIN_TWO_CHILDREN}, .dir = dir.path()});
    std::vector<pid_t> zombies;
    ASSERT_TRUE(eventually([&] { return (zombies = children_in(two.pid(), 'Z')).size() == 2; }));
    std::string text = once(two.pid());
    for (pid_t z : zombies) {
        std::string line = line_of(text, z);
        EXPECT_NE(line.find("two_children " + std::to_string(z) + ": a zombie"), std::string::npos)
            << text;
        EXPECT_NE(line.find("not yet collected by " + std::to_string(two.pid())), std::string::npos)
            << text;
    }

    // The classifier, asleep in the open of its FIFO.
    Process server({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path()});
    ASSERT_TRUE(eventually([&] { return access((dir / "FIFOVEK").c_str(), F_OK) == 0; }));
    std::string classifier;
    EXPECT_TRUE(eventually([&] {
        classifier = once(server.pid());
        return line_of(classifier, server.pid()).find("waiting") != std::string::npos;
    }));
    EXPECT_NE(
        line_of(classifier, server.pid()).find("in the open of FIFO FIFOVEK, waiting for a writer"),
        std::string::npos)
        << classifier;
}

// The learner's language, from the locale (es_ES.UTF-8, es_AR.UTF-8:
// generated on this machine or not), or from --lang; the C locale is
// English whatever LANGUAGE says, and a screen that is not UTF-8 gets
// the letters without their marks.
TEST(Watch, SpeaksTheLanguageTheLocaleAsks)
{
    Process sleeper({.argv = {"/bin/sleep", "30"}});
    // Asleep in its nanosleep before it is looked at (on a busy machine it
    // may still be starting).
    ASSERT_TRUE(eventually([&] {
        auto st = proc_stat(sleeper.pid());
        return st && st->state == 'S' &&
               read_file("/proc/" + std::to_string(sleeper.pid()) + "/comm") == "sleep\n";
    }));
    auto said = [&](std::vector<std::string> env, std::vector<std::string> args = {}) {
        args.insert(args.begin(), BIN_FAMILY_WATCH);
        args.push_back("--once");
        args.push_back(std::to_string(sleeper.pid()));
        env.emplace_back("LC_ALL=");
        env.emplace_back("LC_MESSAGES=");
        Process p({.argv = args, .env = env});
        EXPECT_TRUE(p.finish());
        EXPECT_EQ(p.exit_code(), 0) << p.err();
        return p.out();
    };
    std::string pid = std::to_string(sleeper.pid());
    std::string spain = said({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(spain.rfind("familia de sleep " + pid + ": una instantánea\n", 0), 0u) << spain;
    EXPECT_NE(spain.find("sleep " + pid + ": dormido durante 30 s"), std::string::npos) << spain;
    EXPECT_EQ(said({"LANG=es_AR.UTF-8"}), spain);
    EXPECT_EQ(said({"LANG=C", "LANGUAGE=es"}).rfind("family of sleep " + pid + ": a snapshot\n", 0),
              0u);
    std::string taught = said({"LANG=C"}, {"--lang", "es"});
    EXPECT_EQ(taught.rfind("familia de sleep " + pid + ": una instantanea\n", 0), 0u) << taught;
    std::string english = said({"LANG=es_ES.UTF-8"}, {"--lang", "en"});
    EXPECT_EQ(english.rfind("family of sleep " + pid + ": a snapshot\n", 0), 0u) << english;
}

TEST(Watch, EchoFiveWaitsForItsNumbersOnTheTerminal)
{
    // Its standard input a terminal of the test's own, as on a learner's.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    TempDir dir;
    Process echo({.argv = {BIN_ECHO_FIVE}, .dir = dir.path(), .before_exec = [&] {
                      int tty = open(slave.c_str(), O_RDWR);
                      dup2(tty, 0);
                      if (tty > 0)
                          close(tty);
                  }});
    pid_t parent = echo.pid();
    pid_t child = 0;
    ASSERT_TRUE(eventually([&] {
        auto c = children(parent);
        child = c.empty() ? 0 : c[0];
        return child != 0 && open_fds(child).size() == 6 && open_fds(parent).size() == 6;
    }));
    std::string text;
    ASSERT_TRUE(eventually([&] {
        text = once(parent);
        return line_of(text, child).find("sleeping in read") != std::string::npos;
    })) << text;
    EXPECT_NE(line_of(text, child).find("sleeping in read on the terminal (fd 0)"),
              std::string::npos)
        << text;
    EXPECT_NE(line_of(text, parent).find("waiting for a child"), std::string::npos) << text;
    // The ends each holds, as /proc/PID/fd says: the parent 3, 6, 8.
    auto p = std::to_string(parent);
    auto c = std::to_string(child);
    EXPECT_NE(text.find("pipe A: write end held by " + c + " (fd 4); read end by " + p + " (fd 3)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("pipe B: write end held by " + p + " (fd 6); read end by " + c + " (fd 5)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("pipe C: write end held by " + p + " (fd 8); read end by " + c + " (fd 7)"),
              std::string::npos)
        << text;
    for (auto [fd, target] : open_fds(parent)) {
        if (fd >= 3) {
            EXPECT_TRUE(target.starts_with("pipe:[")) << fd;
        }
    }
    close(master);
}

TEST(Watch, BadInputIsOneLine)
{
    Process none({.argv = {BIN_FAMILY_WATCH, "--once", "4194304"}});
    ASSERT_TRUE(none.finish());
    EXPECT_EQ(none.exit_code(), 1);
    EXPECT_EQ(none.err(), "family_watch: no process 4194304\n");
    Process word({.argv = {BIN_FAMILY_WATCH, "--once", "echo_five"}});
    ASSERT_TRUE(word.finish());
    EXPECT_EQ(word.exit_code(), 2);
    EXPECT_EQ(word.err(), "family_watch: not a process id: echo_five (see family_watch --help)\n");
    Process nothing({.argv = {BIN_FAMILY_WATCH}});
    ASSERT_TRUE(nothing.finish());
    EXPECT_EQ(nothing.exit_code(), 2);
    EXPECT_EQ(std::count(nothing.err().begin(), nothing.err().end(), '\n'), 1) << nothing.err();
    Process missing({.argv = {BIN_FAMILY_WATCH, "--", "no-such-command-here"}, .terminal = true});
    ASSERT_TRUE(missing.finish());
    EXPECT_EQ(missing.exit_code(), 127);
    EXPECT_EQ(missing.err(), "family_watch: cannot run no-such-command-here: No such file or "
                             "directory\n");
}

TEST(Watch, LiveScreenFollowsTheFamily)
{
    // A shell that becomes two_children when told: its children then
    // appear and end at once, zombies.
    TempDir dir;
    Process shell(
        {.argv = {"/bin/sh", "-c", "read go; exec \"$0\"", BIN_TWO_CHILDREN}, .dir = dir.path()});
    Tmux tmux({BIN_FAMILY_WATCH, std::to_string(shell.pid())});
    ASSERT_TRUE(eventually([&] { return tmux.screen().find("family of") != std::string::npos; }))
        << tmux.screen();
    shell.write_input("go\n");
    std::string screen;
    ASSERT_TRUE(eventually(
        [&] {
            screen = tmux.screen();
            return std::count(screen.begin(), screen.end(), '\n') > 0 &&
                   std::regex_search(screen, std::regex("zombie[^\n]*\n[\\s\\S]*zombie"));
        },
        kDeadline))
        << screen;

    // parent_exit_watch, ten times faster: its child adopted as the
    // parent ends, and kept in the family.
    if (!kFakeTimeUsable)
        GTEST_SKIP() << "libfaketime cannot be preloaded here";
    Process watched(
        {.argv = {BIN_PARENT_EXIT_WATCH}, .dir = dir.path(), .env = fake_time("+0 x10")});
    Tmux second({BIN_FAMILY_WATCH, std::to_string(watched.pid())});
    ASSERT_TRUE(eventually(
        [&] {
            screen = second.screen();
            return screen.find("adopted by") != std::string::npos;
        },
        kDeadline))
        << screen;
    EXPECT_NE(screen.find("its parent " + std::to_string(watched.pid()) + " ended"),
              std::string::npos)
        << screen;
}

// A family of a thousand (fewer where the limit on processes is lower):
// every member read and put in words, three times over. How long a redraw
// takes is bench/run's figure.
TEST(Watch, AThousandProcessesAreRead)
{
    rlimit limit{};
    getrlimit(RLIMIT_NPROC, &limit);
    long n =
        limit.rlim_cur == RLIM_INFINITY ? 1000 : std::min<long>(1000, long(limit.rlim_cur) / 4);
    TempDir dir;
    Process many({.argv = {TRACED_MANY_CHILDREN, std::to_string(n)}, .dir = dir.path()});
    ASSERT_TRUE(many.wait_for_output("ready\n", kDeadline));
    family::Family watched(many.pid());
    for (int round = 0; round < 3; ++round) {
        watched.refresh(double(round));
        auto lines = family::snapshot(watched, double(round), "a test");
        EXPECT_GT(lines.size(), size_t(n));
        EXPECT_EQ(watched.members().size(), size_t(n) + 1);
    }
    many.signal_group(SIGKILL);
}

// A burst of processes elsewhere on the machine: their forks, execs and
// exits are none of the family's, so the watcher neither reads /proc again
// for them nor wakes for each. Without them it reads a sleeping family ten
// times a second (three reads, a wake or two each): both counts may grow
// with the time the burst takes, at several times that rate, so that a
// slow machine cannot fail it; for every one of the burst's processes it
// would take several of each.
TEST(Watch, ProcessesElsewhereCostTheWatcherNothing)
{
    TempDir dir;
    Process family({.argv = {"/bin/sh", "-c", "sleep 600 & sleep 600 & wait"}, .dir = dir.path()});
    ASSERT_TRUE(eventually([&] { return children(family.pid()).size() == 2; }));
    Tmux tmux({BIN_FAMILY_WATCH, std::to_string(family.pid())});
    std::string screen;
    ASSERT_TRUE(eventually([&] {
        screen = tmux.screen();
        return std::regex_search(screen, std::regex("sleep \\d+:[^\n]*\n[\\s\\S]*sleep \\d+:"));
    })) << screen;
    pid_t watcher = tmux.program();
    long reads = proc_io(watcher, "syscr");
    long waits = waits_of(watcher);
    ASSERT_GE(reads, 0);
    ASSERT_GE(waits, 0);

    constexpr long kOthers = 300;
    auto start = std::chrono::steady_clock::now();
    Process others({.argv = {"/bin/sh", "-c",
                             "i=0; while [ $i -lt " + std::to_string(kOthers) +
                                 " ]; do /bin/true; i=$((i + 1)); done"},
                    .dir = dir.path()});
    ASSERT_TRUE(others.finish());
    ASSERT_EQ(others.exit_code(), 0) << others.err();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(proc_io(watcher, "syscr") - reads, kOthers / 2 + long(100 * seconds))
        << "in " << seconds << " s";
    EXPECT_LT(waits_of(watcher) - waits, kOthers / 2 + long(50 * seconds))
        << "in " << seconds << " s";
    // And it still follows its own.
    ASSERT_TRUE(eventually([&] { return tmux.screen().find("family of") != std::string::npos; }));
}

// Under the POSIX locale, whose characters are ASCII alone: the live
// screen draws each branch with the terminal's line-drawing characters,
// --once writes "`- ", and nothing shows as the bytes of a UTF-8
// character ("~T", "M-b"). Where the locale is UTF-8, --once draws the
// branch as it always has.
TEST(Watch, TheTreeIsReadableWithoutUtf8)
{
    TempDir dir;
    Process two({.argv = {BIN_TWO_CHILDREN}, .dir = dir.path()});
    std::vector<pid_t> zombies;
    ASSERT_TRUE(eventually([&] { return (zombies = children_in(two.pid(), 'Z')).size() == 2; }));
    auto branch_before = [](pid_t pid, const std::string& branch) {
        return std::regex(branch + "two_children " + std::to_string(pid) + ": a zombie");
    };

    Tmux tmux({"/usr/bin/env", "LANG=C", "LC_ALL=C", BIN_FAMILY_WATCH, std::to_string(two.pid())});
    std::string screen;
    ASSERT_TRUE(eventually([&] {
        screen = tmux.screen(true);
        return std::all_of(zombies.begin(), zombies.end(), [&](pid_t z) {
            return std::regex_search(screen, branch_before(z, ""));
        });
    })) << screen;
    for (pid_t z : zombies)
        EXPECT_TRUE(std::regex_search(screen, branch_before(z, "(\x0emq\x0f|[+`]-) "))) << screen;
    std::string plain = tmux.screen();
    EXPECT_EQ(plain.find("~T"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("M-"), std::string::npos) << plain;

    Process ascii({.argv = {BIN_FAMILY_WATCH, "--once", std::to_string(two.pid())},
                   .env = {"LANG=C", "LC_ALL=C"}});
    ASSERT_TRUE(ascii.finish());
    EXPECT_EQ(ascii.exit_code(), 0) << ascii.err();
    const std::string& text = ascii.out();
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }))
        << text;
    for (pid_t z : zombies)
        EXPECT_TRUE(std::regex_search(text, branch_before(z, "\n   `- "))) << text;

    if (locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr)) {
        freelocale(utf8);
        Process boxes({.argv = {BIN_FAMILY_WATCH, "--once", std::to_string(two.pid())},
                       .env = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"}});
        ASSERT_TRUE(boxes.finish());
        for (pid_t z : zombies)
            EXPECT_TRUE(
                std::regex_search(boxes.out(), branch_before(z, "\n   \xe2\x94\x94\xe2\x94\x80 ")))
                << boxes.out();
    }
}
