// ./demo, run as a user would but without a terminal: each lesson shows
// its captions, and the process table agrees with what they claim.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "harness.hpp"

using namespace harness;

namespace {

// The rows of the ps snapshot under the caption that starts with `caption`:
// pid, parent pid, state.
std::vector<std::tuple<pid_t, pid_t, std::string>> snapshot_rows(const std::string& out,
                                                                 const std::string& caption)
{
    std::vector<std::tuple<pid_t, pid_t, std::string>> found;
    auto at = out.find("--- " + caption);
    if (at == std::string::npos)
        return found;
    std::istringstream lines(out.substr(at));
    std::string line;
    std::getline(lines, line); // the caption
    std::getline(lines, line); // the header
    const std::regex row(R"(\s+([0-9]+)\s+([0-9]+)\s+(\S+)\s.*)");
    std::smatch m;
    while (std::getline(lines, line) && std::regex_match(line, m, row))
        found.emplace_back(std::stoi(m[1]), std::stoi(m[2]), m[3]);
    return found;
}

// Runs `./demo lesson` on the programs of this build.
struct Demo {
    explicit Demo(const std::string& lesson, Duration timeout = 60s,
                  std::function<void()> before_exec = nullptr)
        : Demo(lesson.empty() ? std::vector<std::string>{} : std::vector<std::string>{lesson},
               timeout, std::move(before_exec))
    {
    }
    Demo(const std::vector<std::string>& args, Duration timeout,
         std::function<void()> before_exec = nullptr)
        : process({.argv = with_script(args),
                   .dir = dir.path(),
                   .env = {"DEMO_BIN=" + std::string(PROGRAM_DIR)},
                   .before_exec = std::move(before_exec)})
    {
        EXPECT_TRUE(process.finish(timeout));
        EXPECT_EQ(process.exit_code(), 0) << process.err();
    }

    const std::string& out() const { return process.out(); }

    static std::vector<std::string> with_script(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {DEMO_SCRIPT};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    std::vector<std::tuple<pid_t, pid_t, std::string>> rows(const std::string& caption) const
    {
        return snapshot_rows(out(), caption);
    }

    TempDir dir;
    Process process;
};

// "started as pid N" or "ran as pid N"
pid_t announced_pid(const std::string& out)
{
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("# (?:started|ran) as pid ([0-9]+)")))
        return -1;
    return std::stoi(m[1]);
}

} // namespace

TEST(Demo, ExchangeWithoutALesson)
{
    Demo d("");
    EXPECT_NE(d.out().find("OBTENIENDO  Informacion...1000293\n"
                           "Esta frase esta compuesto de numeros\n"),
              std::string::npos);
    EXPECT_NE(d.out().find("OBTENIENDO  Informacion...que pasa\n"
                           "Esta frase esta compuesto de letras\n"),
              std::string::npos);
    EXPECT_NE(d.out().find("OBTENIENDO  Informacion...que pasa21\n"
                           "Esta frase esta compuesto de numeros y letras\n"),
              std::string::npos);
}

// --help on standard output with status 0; a lesson that does not exist
// lists them on standard error with status 2.
TEST(Demo, UsageListsTheLessons)
{
    TempDir dir;
    Process help({.argv = {DEMO_SCRIPT, "--help"}, .dir = dir.path()});
    ASSERT_TRUE(help.finish());
    EXPECT_EQ(help.exit_code(), 0);
    EXPECT_EQ(help.out().rfind("usage: ./demo", 0), 0u) << help.out();
    EXPECT_NE(help.out().find("--book DIR"), std::string::npos);
    EXPECT_NE(help.out().find("lessons: phrase_classifier"), std::string::npos);
    EXPECT_EQ(help.err(), "");

    Process p({.argv = {DEMO_SCRIPT, "fork_bomb"}, .dir = dir.path()});
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 2);
    EXPECT_EQ(p.out(), "");
    EXPECT_NE(p.err().find("lessons: phrase_classifier"), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("list_processes"), std::string::npos);
}

// A lesson is a line of lessons.txt: ./demo knows it from there, and one
// without steps of its own runs to its end, its output shown.
TEST(Demo, ALessonIsALineInTheList)
{
    namespace fs = std::filesystem;
    TempDir dir;
    fs::create_directories(dir / "tree/scripts");
    fs::create_directories(dir / "bin");
    fs::copy_file(DEMO_SCRIPT, dir / "tree/demo");
    fs::copy_file(std::string(SOURCE_DIR) + "/scripts/lesson-kit.sh",
                  dir / "tree/scripts/lesson-kit.sh");
    harness::write_file(dir / "tree/lessons.txt",
                        read_file(std::string(SOURCE_DIR) + "/lessons.txt") + "extra/greet.cpp\n");
    harness::write_file(dir / "bin/greet", "#!/bin/sh\necho 'hola desde greet'\n");
    fs::permissions(dir / "bin/greet", fs::perms::owner_all);

    Process help({.argv = {dir / "tree/demo", "--help"}, .dir = dir.path()});
    ASSERT_TRUE(help.finish());
    EXPECT_NE(help.out().find(" list_processes greet\n"), std::string::npos) << help.out();

    Process greet({.argv = {dir / "tree/demo", "greet"},
                   .dir = dir.path(),
                   .env = {"DEMO_BIN=" + (dir / "bin")}});
    ASSERT_TRUE(greet.finish(kDeadline));
    EXPECT_EQ(greet.exit_code(), 0) << greet.err();
    EXPECT_NE(greet.out().find("$ greet          # ran as pid "), std::string::npos) << greet.out();
    EXPECT_NE(greet.out().find("hola desde greet\n"), std::string::npos) << greet.out();
}

TEST(Demo, ClassifierSleepsInOpen)
{
    Demo d("phrase_classifier");
    auto rows = d.rows("no writer yet: the classifier is asleep (S)");
    ASSERT_EQ(rows.size(), 1u) << d.out();
    EXPECT_EQ(std::get<0>(rows[0]), announced_pid(d.out()));
    EXPECT_EQ(std::get<2>(rows[0])[0], 'S');
    EXPECT_NE(d.out().find("Esta frase esta compuesto de numeros y letras\n"), std::string::npos);
    // The snapshot (family_watch's words) and the timeline of a run of the
    // same lesson name the FIFO alike.
    EXPECT_NE(d.out().find("in the open of FIFO FIFOVEK, waiting for a writer"), std::string::npos)
        << d.out();
    std::string timeline =
        read_file(std::string(TRACE_FIXTURES) + "/phrase_classifier/timeline.txt");
    EXPECT_NE(timeline.find("opens FIFO FIFOVEK for reading as fd 4"), std::string::npos);
}

TEST(Demo, WriterWaitsForAReader)
{
    const std::pair<const char*, const char*> writers[] = {
        {"send_digits", "Esta frase esta compuesto de numeros\n"},
        {"send_words", "Esta frase esta compuesto de letras\n"},
        {"send_mixed", "Esta frase esta compuesto de numeros y letras\n"},
    };
    for (const auto& [writer, verdict] : writers) {
        Demo d(writer);
        auto rows = d.rows("no reader has FIFOVEK open");
        ASSERT_EQ(rows.size(), 1u) << d.out();
        EXPECT_EQ(std::get<2>(rows[0])[0], 'S');
        EXPECT_NE(d.out().find(verdict), std::string::npos) << d.out();
    }
}

TEST(Demo, GreetingWaitsForItsReader)
{
    Demo d("send_greeting");
    auto rows = d.rows("send_greeting waits (S)");
    ASSERT_EQ(rows.size(), 1u) << d.out();
    EXPECT_EQ(std::get<2>(rows[0])[0], 'S');
    EXPECT_NE(d.out().find("$ cat FIFO2\nUn  saludo!!!\n"), std::string::npos) << d.out();
}

TEST(Demo, DateHandoffChildIsAnotherProcess)
{
    Demo d("date_handoff");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(d.out(), m, std::regex("Soy el hijo con el pid ([0-9]+)\n")));
    EXPECT_NE(std::stoi(m[1]), announced_pid(d.out()));
    EXPECT_NE(d.out().find("--- the parent read the clock"), std::string::npos);
}

TEST(Demo, ExchangesOnATerminalAndIntoAPipe)
{
    Demo up("child_to_parent");
    EXPECT_NE(up.out().find("El hijo escribe en el PIPE \nEl padre lee el PIPE\n"),
              std::string::npos);
    Demo down("parent_to_child");
    EXPECT_NE(down.out().find("\t Mensaje leido del pipe: Hola hijo \n"
                              "El padre escribe en el PIPE...\n"
                              "--- into a pipe each process's lines leave when it ends"),
              std::string::npos)
        << down.out();
}

TEST(Demo, EchoFiveShowsThePipeEnds)
{
    // A descriptor left open by the caller must not reach the lesson.
    Demo d("echo_five", 60s, [] {
        int p[2];
        if (pipe(p) == 0)
            dup2(p[1], 9);
    });
    auto rows = d.rows("the parent waits for its child");
    ASSERT_EQ(rows.size(), 2u) << d.out();
    pid_t parent = std::get<0>(rows[0]);
    pid_t child = std::get<1>(rows[1]) == parent ? std::get<0>(rows[1]) : 0;
    ASSERT_NE(child, 0) << d.out();
    // Pipe A: read end in the parent (3), write end in the child (4), as
    // family_watch's snapshot says them; B and C the other way.
    std::string p = std::to_string(parent), c = std::to_string(child);
    for (const std::string& said : std::vector<std::string>{
             "pipe A: write end held by " + c + " (fd 4); read end by " + p + " (fd 3)",
             "pipe B: write end held by " + p + " (fd 6); read end by " + c + " (fd 5)",
             "3 pipe A, read end", "4 pipe A, write end", "0 FIFO numbers, read end"})
        EXPECT_NE(d.out().find(said), std::string::npos) << said << "\n" << d.out();
    // Not the caller's descriptor 9.
    EXPECT_EQ(d.out().find("; 9 "), std::string::npos) << d.out();
    // The timeline of a run of the same lesson names them in the same words.
    std::string timeline = read_file(std::string(TRACE_FIXTURES) + "/echo_five/timeline.txt");
    for (const char* said : {"(pipe A, read end)", "(pipe A, write end)", "(FIFO numbers)"})
        EXPECT_NE(timeline.find(said), std::string::npos) << said;
    EXPECT_NE(d.out().find("[echo_five]\n12345"), std::string::npos) << d.out();
}

TEST(Demo, ParentExitWatchAdoption)
{
    Demo d("parent_exit_watch");
    auto before = d.rows("the child's parent (PPID) is parent_exit_watch");
    ASSERT_EQ(before.size(), 2u) << d.out();
    pid_t parent = std::get<0>(before[0]);
    pid_t child = std::get<0>(before[1]);
    EXPECT_EQ(std::get<1>(before[1]), parent);
    auto after = d.rows("the parent is gone; the child lives on, adopted by pid");
    ASSERT_EQ(after.size(), 1u) << d.out();
    EXPECT_EQ(std::get<0>(after[0]), child);
    EXPECT_NE(std::get<1>(after[0]), parent);
    EXPECT_NE(d.out().find("El proceso padre termina\n"), std::string::npos);
}

TEST(Demo, TwoChildrenAreDefunct)
{
    Demo d("two_children");
    auto rows = d.rows("both children are defunct (Z)");
    ASSERT_EQ(rows.size(), 3u) << d.out();
    pid_t parent = std::get<0>(rows[0]);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(std::get<1>(rows[i]), parent);
        EXPECT_EQ(std::get<2>(rows[i])[0], 'Z');
    }
    EXPECT_NE(d.out().find("Soy el proceso padre con pid= " + std::to_string(parent)),
              std::string::npos);
}

TEST(Demo, SleepLadderSleeps)
{
    Demo d("sleep_ladder");
    auto rows = d.rows("sleep_ladder sleeps (S)");
    ASSERT_EQ(rows.size(), 1u) << d.out();
    EXPECT_EQ(std::get<2>(rows[0])[0], 'S');
    EXPECT_NE(d.out().find("Me voy a dormir 10 segundos \n"), std::string::npos);
}

TEST(Demo, LaunchersLoseTheirTextIntoAPipe)
{
    Demo files("list_files");
    auto piped = files.out().find("$ list_files | cat");
    ASSERT_NE(piped, std::string::npos);
    EXPECT_LT(files.out().find("Ejemplo de uso de execv():Los archivos en el directorio son:\n"),
              piped);
    EXPECT_EQ(files.out().find("Ejemplo", piped), std::string::npos);
    EXPECT_NE(files.out().find("nota.txt", piped), std::string::npos);

    Demo processes("list_processes");
    pid_t pid = announced_pid(processes.out());
    EXPECT_TRUE(std::regex_search(
        processes.out(), std::regex("\n[0-9] R +[0-9]+ +" + std::to_string(pid) + " .* ps\n")))
        << processes.out();
    EXPECT_NE(processes.out().find("--- ps runs as pid " + std::to_string(pid)), std::string::npos);
}

// Ctrl-C in the middle of a lesson stops everything it started.
TEST(Demo, InterruptStopsEverything)
{
    TempDir dir;
    Process p({.argv = {DEMO_SCRIPT, "parent_exit_watch"},
               .dir = dir.path(),
               .env = {"DEMO_BIN=" + std::string(PROGRAM_DIR)}});
    ASSERT_TRUE(p.wait_for_output("--- the child's parent (PPID) is parent_exit_watch", kDeadline));
    // The snapshot's rows follow their heading; on a busy machine, later.
    auto rows = snapshot_rows(p.out(), "the child's parent (PPID) is parent_exit_watch");
    for (int tries = 0; rows.size() < 2 && tries < 50; ++tries) {
        p.collect(100ms);
        rows = snapshot_rows(p.out(), "the child's parent (PPID) is parent_exit_watch");
    }
    ASSERT_EQ(rows.size(), 2u) << p.out();
    // Each process by its start time too: pids are few (32768 on many
    // machines), and a busy one may give a freed pid to a newcomer.
    auto started = [](pid_t pid) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        std::istringstream after(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
        std::string field;
        for (int n = 3; n <= 22 && after >> field; ++n) {
        }
        return field;
    };
    std::vector<std::string> start_times;
    for (const auto& row : rows)
        start_times.push_back(started(std::get<0>(row)));

    p.signal_group(SIGINT);
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.exit_code(), 130);
    for (size_t i = 0; i < rows.size(); ++i) {
        pid_t pid = std::get<0>(rows[i]);
        auto st = proc_stat(pid);
        bool same = st && started(pid) == start_times[i];
        EXPECT_TRUE(!same || st->state == 'Z')
            << pid << " still runs, in state " << st->state << "\n"
            << read_file("/proc/" + std::to_string(pid) + "/status");
    }
}

// A lesson traced: the lesson as usual, then its system calls, and the
// diagram where --svg said.
TEST(Demo, TraceShowsTheSystemCalls)
{
    TempDir out;
    Demo d({"--trace", "--svg", out / "diagram.svg", "child_to_parent"}, 60s);
    if (d.process.exit_code() == 1 &&
        d.process.err().find("tracing is refused") != std::string::npos)
        GTEST_SKIP() << d.process.err();
    auto timeline = d.out().find("=== the system calls of child_to_parent");
    ASSERT_NE(timeline, std::string::npos) << d.out();
    EXPECT_LT(d.out().find("El padre lee el PIPE"), timeline);
    const std::string after = d.out().substr(timeline);
    EXPECT_NE(after.find("creates pipe A: fd 3 reads, fd 4 writes"), std::string::npos) << after;
    EXPECT_NE(after.find("writes 10 bytes to fd 4 (pipe A): \"Hola padre\""), std::string::npos);
    EXPECT_NE(after.find("reads 10 bytes from fd 3 (pipe A): \"Hola padre\""), std::string::npos);
    EXPECT_NE(after.find("wait() collects child"), std::string::npos);
    EXPECT_NE(read_file(out / "diagram.svg").find("</svg>"), std::string::npos);
}
