// The launchers: a process that replaces its program with ls or ps.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "harness.hpp"

using namespace harness;

namespace {

constexpr int kNoNamespace = 77;

// Hides /usr/bin from the program, in a mount namespace of its own, so that
// its exec fails for real.
void hide_usr_bin()
{
    if (unshare(CLONE_NEWNS) == -1 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
        mount("tmpfs", "/usr/bin", "tmpfs", 0, nullptr) == -1)
        _exit(kNoNamespace);
}

// What `ls -l` itself prints in `dir`.
std::string listing(const TempDir& dir)
{
    Process ls({.argv = {"/usr/bin/ls", "-l"}, .dir = dir.path()});
    EXPECT_TRUE(ls.finish());
    return ls.out();
}

// The ps -l line of `pid`, if any: "F S UID PID PPID ... CMD".
std::string ps_line(const std::string& out, pid_t pid)
{
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string flags, state, uid, field;
        if (fields >> flags >> state >> uid >> field && field == std::to_string(pid))
            return line;
    }
    return "";
}

} // namespace

// On a terminal: both texts on one line, then the listing of the working
// folder, and never the line after the exec.
TEST(Launch, ListFilesBecomesLs)
{
    TempDir dir;
    write_file(dir / "nota.txt", "hola\n");
    const std::string expected = listing(dir);
    ASSERT_NE(expected.find("nota.txt"), std::string::npos);

    Process shown({.argv = {BIN_LIST_FILES}, .dir = dir.path(), .terminal = true});
    ASSERT_TRUE(shown.wait_exit());
    EXPECT_EQ(shown.out(),
              "Ejemplo de uso de execv():Los archivos en el directorio son:\n" + expected);
    EXPECT_EQ(shown.exit_code(), 0);

    // Into a pipe the announcement is lost with the replaced image.
    Process piped({.argv = {BIN_LIST_FILES}, .dir = dir.path()});
    ASSERT_TRUE(piped.finish());
    EXPECT_EQ(piped.out(), expected);
    EXPECT_EQ(piped.exit_code(), 0);
}

// The process listing has a line for ps with the pid the program started
// with.
TEST(Launch, ListProcessesBecomesPs)
{
    TempDir dir;
    const std::regex header("F S +UID +PID +PPID .* CMD\n");
    for (bool terminal : {true, false}) {
        Process p({.argv = {BIN_LIST_PROCESSES}, .dir = dir.path(), .terminal = terminal});
        ASSERT_TRUE(p.wait_exit());
        std::string out = p.out();
        std::string announcement = terminal ? "Inicio del programa\n" : "";
        ASSERT_EQ(out.substr(0, announcement.size()), announcement);
        out.erase(0, announcement.size());
        EXPECT_TRUE(std::regex_search(out, header, std::regex_constants::match_continuous)) << out;
        std::string line = ps_line(out, p.pid());
        EXPECT_TRUE(std::regex_search(line, std::regex(" ps$"))) << out;
        EXPECT_EQ(out.find("Fin del programa"), std::string::npos);
        EXPECT_EQ(p.exit_code(), 0);
    }
}

// Without /usr/bin the exec fails: the line after it is printed, the
// failure reported, and the status is 1.
TEST(Launch, FailedExecIsReported)
{
    struct Case {
        const char* program;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {BIN_LIST_FILES,
         "Ejemplo de uso de execv():Los archivos en el directorio son:\nEsto no se ejecuta !!!\n",
         "list_files: execv /usr/bin/ls: No such file or directory\n"},
        {BIN_LIST_PROCESSES, "Inicio del programa\nFin del programa\n",
         "list_processes: execl /usr/bin/ps: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        for (bool terminal : {false, true}) {
            TempDir dir;
            Process p({.argv = {c.program},
                       .dir = dir.path(),
                       .terminal = terminal,
                       .before_exec = hide_usr_bin});
            ASSERT_TRUE(p.wait_exit());
            if (p.exit_code() == kNoNamespace)
                GTEST_SKIP() << "no private mount namespace here to hide /usr/bin in";
            EXPECT_EQ(p.out(), c.out);
            EXPECT_EQ(p.err(), c.err);
            EXPECT_EQ(p.exit_code(), 1);
        }
    }
}
