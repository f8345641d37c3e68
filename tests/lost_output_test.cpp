// Output that cannot be written (here /dev/full, where every write fails
// with ENOSPC) is a failure: each process that printed says so in one
// line and ends with status 1, and a lesson that runs for ever stops at
// the first failed write instead of printing into nothing.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "classifier.hpp"
#include "harness.hpp"

using namespace harness;

namespace {

const std::string kFull = "/dev/full";

std::string write_error(const std::string& program)
{
    return program + ": write error: No space left on device\n";
}

} // namespace

// Short lessons: each process that printed reports for itself at its end;
// a parent that returns its child's status passes the failure on.
TEST(LostOutput, ShortLessonsReportIt)
{
    TempDir dir;
    // Both processes print: one line each, and the parent's status.
    Process up({.argv = {BIN_CHILD_TO_PARENT}, .dir = dir.path(), .output_file = kFull});
    ASSERT_TRUE(up.finish());
    EXPECT_EQ(up.err(), write_error("child_to_parent") + write_error("child_to_parent"));
    EXPECT_EQ(up.exit_code(), 1);

    // Only the child prints; the parent returns the child's status.
    Process echo(
        {.argv = {BIN_ECHO_FIVE}, .dir = dir.path(), .output_file = kFull, .input = "1 2 3 4 5\n"});
    ASSERT_TRUE(echo.finish());
    EXPECT_EQ(echo.err(), write_error("echo_five"));
    EXPECT_EQ(echo.exit_code(), 1);

    // Only the child prints; the parent, whose only work is to wait for
    // it, passes its failure on.
    Process date({.argv = {BIN_DATE_HANDOFF}, .dir = dir.path(), .output_file = kFull});
    ASSERT_TRUE(date.finish());
    EXPECT_EQ(date.err(), write_error("date_handoff"));
    EXPECT_EQ(date.exit_code(), 1);

    // Written where it can be, nothing changes: the same bytes, status 0.
    Process fine({.argv = {BIN_CHILD_TO_PARENT}, .dir = dir.path()});
    ASSERT_TRUE(fine.finish());
    EXPECT_EQ(fine.err(), "");
    EXPECT_EQ(fine.exit_code(), 0);
}

// A writer whose line cannot be written still delivers its phrase, then
// reports its lost line.
TEST(LostOutput, WriterReportsItsLostLine)
{
    Classifier classifier; // on a terminal: the verdict comes at its line end
    Process writer({.argv = {BIN_SEND_MIXED}, .dir = classifier.dir.path(), .output_file = kFull});
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.err(), write_error("send_mixed"));
    EXPECT_EQ(writer.exit_code(), 1);
    EXPECT_TRUE(classifier.process.wait_for_output(kMixed));
}

// The classifier never ends on its own: the first verdict after its output
// buffer could not be written stops it. 5000 bytes of echo fill the 4 KiB
// buffer at once.
TEST(LostOutput, ClassifierStopsAtTheFirstFailedWrite)
{
    TempDir dir;
    Process full({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path(), .output_file = kFull});
    ASSERT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));
    int fd = -1;
    ASSERT_TRUE(eventually([&] {
        fd = open((dir / "FIFOVEK").c_str(), O_WRONLY | O_NONBLOCK);
        return fd != -1;
    }));
    std::string phrase(5000, 'a');
    ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);
    ASSERT_EQ(write(fd, phrase.data(), phrase.size()), ssize_t(phrase.size()));
    close(fd);
    ASSERT_TRUE(full.wait_exit());
    EXPECT_EQ(full.err(), write_error("phrase_classifier"));
    EXPECT_EQ(full.exit_code(), 1);
}

// parent_exit_watch, sped up: the parent reports its lost lines at its
// end; the child, which would print for ever, stops once its buffer of
// about eighty lines cannot be written.
TEST(LostOutput, EndlessChildStopsAtTheFirstFailedWrite)
{
    if (!kFakeTimeUsable)
        GTEST_SKIP() << "libfaketime cannot be preloaded into a sanitizer build";
    TempDir dir;
    Process p({.argv = {BIN_PARENT_EXIT_WATCH},
               .dir = dir.path(),
               .output_file = kFull,
               .env = fake_time("+0 x100")});
    ASSERT_TRUE(p.wait_exit());
    EXPECT_EQ(p.exit_code(), 1);
    // finish() waits until the child, too, has let go of standard error.
    ASSERT_TRUE(p.finish(kDeadline));
    EXPECT_EQ(p.err(), write_error("parent_exit_watch") + write_error("parent_exit_watch"));
}

// sleep_ladder checks each announcement as it is made: with its output
// written line by line (stdbuf -oL) into /dev/full, it stops at the first,
// before its first sleep. Without that check it would sleep ten seconds
// before the second announcement, and the deadline would end it first.
TEST(LostOutput, LadderStopsAtTheFirstFailedWrite)
{
    TempDir dir;
    Process p({.argv = {"/usr/bin/stdbuf", "-oL", BIN_SLEEP_LADDER},
               .dir = dir.path(),
               .output_file = kFull});
    ASSERT_TRUE(p.finish(8s)) << "it slept after a failed write";
    EXPECT_EQ(p.err(), write_error("sleep_ladder"));
    EXPECT_EQ(p.exit_code(), 1);
}

// syscall_timeline: a timeline or a diagram that cannot be written is
// reported, and a diagram cut short is not left behind looking complete.
TEST(LostOutput, TimelineToolReportsIt)
{
    TempDir dir;
    std::string trace = std::string(TRACE_FIXTURES) + "/date_handoff/01-date_handoff.trace";
    Process text({.argv = {BIN_SYSCALL_TIMELINE, trace}, .dir = dir.path(), .output_file = kFull});
    ASSERT_TRUE(text.finish());
    EXPECT_EQ(text.err(), write_error("syscall_timeline"));
    EXPECT_EQ(text.exit_code(), 1);

    // A file may not grow past 2000 bytes: the diagram's write fails.
    Process svg({.argv = {BIN_SYSCALL_TIMELINE, "--svg", dir / "run.svg", trace},
                 .dir = dir.path(),
                 .before_exec = [] {
                     (void)signal(SIGXFSZ, SIG_IGN);
                     rlimit limit{2000, 2000};
                     (void)setrlimit(RLIMIT_FSIZE, &limit);
                 }});
    ASSERT_TRUE(svg.finish());
    EXPECT_EQ(svg.err(), "syscall_timeline: " + (dir / "run.svg") + ": File too large\n");
    EXPECT_EQ(svg.exit_code(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "run.svg"));
}
