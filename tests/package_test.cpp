// The Debian package, built from this build as a lab machine would get it:
// what it holds, and the installed tree run from a scratch root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "harness.hpp"
#include "traced.hpp"

using namespace harness;

namespace {

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

Ran run(const std::vector<std::string>& argv, const std::string& dir, Duration timeout = 60s,
        const std::string& locale = "LANG=C")
{
    Process p({.argv = argv, .dir = dir, .env = {traces::kNoLeakCheck, locale}});
    EXPECT_TRUE(p.finish(timeout)) << argv[0];
    return {p.exit_code(), p.out(), p.err()};
}

} // namespace

TEST(Package, InstallsAndRunsFromAScratchRoot)
{
    for (const char* tool : {"/usr/bin/cpack", "/usr/bin/dpkg-deb", "/usr/bin/dpkg-shlibdeps"})
        if (access(tool, X_OK) != 0)
            GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    Ran made = run({"/usr/bin/cpack", "--config", std::string(BUILD_DIR) + "/CPackConfig.cmake",
                    "-G", "DEB", "-B", dir / "out"},
                   dir.path(), 120s);
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    std::smatch name;
    ASSERT_TRUE(std::regex_search(made.out, name, std::regex(R"((/\S+/process-lessons_\S+\.deb))")))
        << made.out;
    std::string deb = name[1];

    // What it holds: one command and the tool on the PATH, the lessons
    // beside the other private programs, a manual page for each of the
    // three commands.
    Ran contents = run({"/usr/bin/dpkg-deb", "-c", deb}, dir.path());
    ASSERT_EQ(contents.status, 0);
    for (const std::string& lesson : lesson_names())
        EXPECT_EQ(contents.out.find("./usr/bin/" + lesson + "\n"), std::string::npos) << lesson;
    for (const char* path : {"./usr/bin/process-lessons\n", "./usr/bin/syscall_timeline\n",
                             "./usr/libexec/process-lessons/echo_five\n",
                             "./usr/share/man/man1/process-lessons.1.gz\n",
                             "./usr/share/man/man1/syscall_timeline.1.gz\n",
                             "./usr/share/man/man1/family_watch.1.gz\n",
                             "./usr/share/man/es/man1/process-lessons.1.gz\n",
                             "./usr/share/man/es/man1/syscall_timeline.1.gz\n",
                             "./usr/share/man/es/man1/family_watch.1.gz\n",
                             "./usr/share/doc/process-lessons/copyright\n",
                             "./usr/share/process-lessons/pipes/echo_five.md\n",
                             "./usr/share/process-lessons/pipes/echo_five.es.md\n",
                             "./usr/share/locale/es/LC_MESSAGES/process-lessons.mo\n"})
        EXPECT_NE(contents.out.find(path), std::string::npos) << path << contents.out;

    // Installed into a scratch root, it runs from there.
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", deb, dir / "root"}, dir.path()).status, 0);
    std::string command = dir / "root/usr/bin/process-lessons";
    Ran list = run({command, "list"}, dir.path());
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), long(lesson_names().size()));
    EXPECT_NE(list.out.find("date_handoff "), std::string::npos) << list.out;
    Ran lesson = run({command, "run", "date_handoff"}, dir.path());
    EXPECT_EQ(lesson.status, 0) << lesson.err;
    EXPECT_NE(lesson.out.find("Fecha/Hora: "), std::string::npos) << lesson.out;
    Ran unknown = run({command, "run", "no_such_lesson"}, dir.path());
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(
        unknown.err,
        "process-lessons: no lesson named no_such_lesson (process-lessons list shows them)\n");
    // In the learner's language, from the installed catalogue: by the
    // locale (one this machine need not have generated), or by --lang.
    Ran spanish = run({command, "run", "no_such_lesson"}, dir.path(), 60s, "LANG=es_AR.UTF-8");
    EXPECT_EQ(spanish.err, "process-lessons: no hay ninguna lección llamada no_such_lesson "
                           "(process-lessons list las muestra)\n");
    // The lessons' own notes in Spanish: each summary from <lesson>.es.md.
    Ran notes = run({command, "--lang", "es", "list"}, dir.path());
    EXPECT_EQ(notes.status, 0) << notes.err;
    EXPECT_EQ(std::count(notes.out.begin(), notes.out.end(), '\n'), long(lesson_names().size()));
    EXPECT_NE(notes.out.find("date_handoff       El padre lee el reloj"), std::string::npos)
        << notes.out;
    Ran help = run({command, "--lang", "es", "--help"}, dir.path());
    EXPECT_EQ(help.out.rfind("uso: process-lessons list ", 0), 0u) << help.out;
    Ran watch = run({dir / "root/usr/libexec/process-lessons/family_watch", "--once"}, dir.path(),
                    60s, "LC_ALL=es_ES.UTF-8");
    EXPECT_EQ(watch.err, "family_watch: --once admite un solo PID (véase family_watch --help)\n");
    if (traces::tracing_refused().empty()) {
        Ran traced = run({command, "trace", "date_handoff"}, dir.path());
        EXPECT_EQ(traced.status, 0) << traced.err;
        // Each call's line, from the installed lesson's own debug
        // information.
        EXPECT_NE(traced.out.find("[date_handoff.cpp:"), std::string::npos) << traced.out;
        // The installed tool loads its own quick_stacks.so into strace,
        // whose frames then come without function names.
        if (access((std::string(BUILD_DIR) + "/bin/quick_stacks.so").c_str(), R_OK) == 0) {
            Ran recorded = run({dir / "root/usr/bin/syscall_timeline", "--record", dir / "rec",
                                "--", dir / "root/usr/libexec/process-lessons/date_handoff"},
                               dir.path());
            EXPECT_EQ(recorded.status, 0) << recorded.err;
            std::string trace = read_file(dir / "rec/01-date_handoff.trace");
            EXPECT_NE(trace.find("date_handoff() [0x"), std::string::npos) << trace;
            EXPECT_FALSE(std::regex_search(trace, std::regex(R"(\(\w+\+0x)"))) << trace;
        }
    }

    // Debian's own checks find no error.
    if (access("/usr/bin/lintian", X_OK) == 0) {
        Ran lint = run({"/usr/bin/lintian", deb}, dir.path(), 120s);
        EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
    }

    // Each manual page renders without a warning, names its own command
    // and shows it at work.
    for (const std::string command : {"process-lessons", "syscall_timeline", "family_watch"}) {
        Ran man = run({"/usr/bin/man", "--warnings", "-l",
                       dir / "root/usr/share/man/man1/" + command + ".1.gz"},
                      dir.path());
        EXPECT_EQ(man.status, 0) << command;
        EXPECT_EQ(man.err, "") << command;
        EXPECT_NE(man.out.find("\n       " + command + " - "), std::string::npos) << man.out;
        EXPECT_NE(man.out.find("\nEXAMPLES\n"), std::string::npos) << man.out;
        // The same in Spanish, where man looks for a Spanish reader's page.
        Ran spanish_man = run({"/usr/bin/man", "--warnings", "-l",
                               dir / "root/usr/share/man/es/man1/" + command + ".1.gz"},
                              dir.path(), 60s, "LANG=C.UTF-8");
        EXPECT_EQ(spanish_man.status, 0) << command;
        EXPECT_EQ(spanish_man.err, "") << command;
        EXPECT_NE(spanish_man.out.find("\n       " + command + " - "), std::string::npos)
            << spanish_man.out;
        for (const char* section : {"\nNOMBRE\n", "\nDESCRIPCIÓN\n", "\nEJEMPLOS\n"})
            EXPECT_NE(spanish_man.out.find(section), std::string::npos)
                << command << section << spanish_man.out;
    }
    // The Spanish page of process-lessons shows the command at work, and
    // how to have it in Spanish.
    Ran page = run({"/usr/bin/man", "-l", dir / "root/usr/share/man/es/man1/process-lessons.1.gz"},
                   dir.path(), 60s, "LANG=C.UTF-8");
    for (const char* example : {" process-lessons demo two_children\n",
                                " process-lessons --lang es list\n", "PROCESS_LESSONS_LANG"})
        EXPECT_NE(page.out.find(example), std::string::npos) << example << page.out;
}
