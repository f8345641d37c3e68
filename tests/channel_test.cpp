// phrase_classifier and its writers, run as a user runs them: side by side
// in one folder, the classifier's output on a terminal or into a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "classifier.hpp"
#include "harness.hpp"

using namespace harness;

namespace {

void run_writer(const char* program, const TempDir& dir)
{
    Process writer({.argv = {program}, .dir = dir.path()});
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.out(), kSending);
    EXPECT_EQ(writer.err(), "");
    EXPECT_EQ(writer.exit_code(), 0);
}

} // namespace

// The three writers, again and again, one after another: every phrase gets
// its own verdict, none is lost or merged.
TEST(Channel, WritersGetTheirVerdictsOneAfterAnother)
{
    // Under umask 0 every permission bit that the classifier asks for shows.
    Classifier c(Classifier::Output::terminal, [] { umask(0); });
    const std::tuple<const char*, std::string_view, std::string_view> writers[] = {
        {BIN_SEND_DIGITS, "1000293\n", kNumbers},
        {BIN_SEND_WORDS, "que pasa\n", kLetters},
        {BIN_SEND_MIXED, "que pasa21\n", kMixed},
    };
    std::string expected;
    for (int round = 0; round < 10; ++round) {
        for (const auto& [program, phrase, verdict] : writers) {
            run_writer(program, c.dir);
            expected += cycle(phrase, verdict);
            ASSERT_TRUE(c.process.wait_for_output(expected)) << c.process.out();
        }
    }
    c.process.collect(50ms);
    EXPECT_EQ(c.process.out(), expected);
    EXPECT_EQ(c.process.err(), "");

    // Created as 010666: a FIFO, read and write for everyone.
    struct stat st {};
    ASSERT_EQ(stat((c.dir / "FIFOVEK").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0666);
}

// The verdict's thresholds and the cycle's exact bytes, each phrase judged
// on its own.
TEST(Channel, VerdictsAndThresholds)
{
    Classifier c;
    const std::pair<std::string_view, std::string_view> phrases[] = {
        {"", kNumbers}, // a writer that sends nothing
        {"a\n", kNumbers}, // two non-digits are tolerated
        {"ab\n", kLetters}, // three are not
        {"1 2 3\n", kMixed}, // three non-digits among six bytes
        {"abc", kLetters}, // no line end: the verdict shares the line
        {"12\n", kNumbers}, // after a phrase of letters
        {"\xc3\xad\xff\x80\n", kLetters}, // high bytes: echoed as they are, one count each
        {std::string_view("8\0\0\0\0", 5), kMixed}, // NUL is a non-digit too
    };
    std::string expected;
    for (const auto& [phrase, verdict] : phrases) {
        c.send(phrase);
        expected += cycle(phrase, verdict);
        ASSERT_TRUE(c.process.wait_for_output(expected)) << c.process.out();
    }
    c.process.collect(50ms);
    EXPECT_EQ(c.process.out(), expected);
}

// Into a pipe the output comes in whole blocks of the stream's buffer,
// byte for byte the same as on a terminal, never a flush per byte.
TEST(Channel, IntoAPipeOutputComesInBlocks)
{
    Classifier c(Classifier::Output::pipe);
    c.send("que pasa\n");
    c.process.collect(100ms);
    EXPECT_EQ(c.process.out(), "") << "flushed before the buffer was full";

    std::string expected = cycle("que pasa\n", kLetters);
    std::string digits(1000, '7');
    for (int i = 0; i < 10; ++i) {
        c.send(digits);
        expected += cycle(digits, kNumbers);
    }
    ASSERT_TRUE(c.process.wait_for_output(expected.substr(0, 8192)));
    c.process.collect(100ms);
    EXPECT_EQ(c.process.out().size() % 4096, 0u);
    EXPECT_EQ(c.process.out(), expected.substr(0, c.process.out().size()));
}

// A channel left by an earlier run: a writer started first waits silently,
// and delivers once a new classifier, which reuses the channel without a
// word, opens it.
TEST(Channel, WriterWaitsForTheNextClassifier)
{
    TempDir dir;
    {
        Process first({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path(), .terminal = true});
        ASSERT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));
        first.signal_group(SIGINT);
        ASSERT_TRUE(first.wait_exit());
        EXPECT_EQ(first.term_signal(), SIGINT);
        EXPECT_EQ(first.out(), "");
    }
    ASSERT_TRUE(is_fifo(dir / "FIFOVEK"));

    Process writer({.argv = {BIN_SEND_WORDS}, .dir = dir.path(), .terminal = true});
    ASSERT_TRUE(eventually([&] {
        auto st = proc_stat(writer.pid());
        return st && st->state == 'S';
    }));
    writer.collect(100ms);
    EXPECT_FALSE(writer.ended());
    EXPECT_EQ(writer.out(), "");

    Process second({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path(), .terminal = true});
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.out(), kSending);
    EXPECT_EQ(writer.exit_code(), 0);
    ASSERT_TRUE(second.wait_for_output(kLetters));
    EXPECT_EQ(second.out(), cycle("que pasa\n", kLetters));
    EXPECT_EQ(second.err(), "");
}

// send_greeting talks to a reader outside the suite: here, the test.
TEST(Channel, GreetingReachesAnOutsideReader)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "FIFO2").c_str(), 0600), 0);
    int fd = open((dir / "FIFO2").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_NE(fd, -1);
    Process writer({.argv = {BIN_SEND_GREETING}, .dir = dir.path()});

    // Poll reports data, then the hang-up once the writer has closed.
    std::string received;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "no greeting";
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n > 0)
            received.append(buf, size_t(n));
    }
    close(fd);
    EXPECT_EQ(received, "Un  saludo!!!\n");
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.out(), kSending);
    EXPECT_EQ(writer.exit_code(), 0);
}

// A writer that finds no channel says so, prints nothing on its standard
// output and fails.
TEST(Channel, WriterWithoutAChannelFails)
{
    const std::pair<const char*, const char*> writers[] = {
        {BIN_SEND_DIGITS, "send_digits: FIFOVEK"},
        {BIN_SEND_WORDS, "send_words: FIFOVEK"},
        {BIN_SEND_MIXED, "send_mixed: FIFOVEK"},
        {BIN_SEND_GREETING, "send_greeting: FIFO2"},
    };
    for (const auto& [program, name] : writers) {
        TempDir dir;
        Process writer({.argv = {program}, .dir = dir.path()});
        ASSERT_TRUE(writer.finish());
        EXPECT_EQ(writer.out(), "");
        EXPECT_EQ(writer.err(), std::string(name) + ": No such file or directory\n");
        EXPECT_EQ(writer.exit_code(), 1);
    }
}

// A regular file under the channel's name, or a link to one, is left as it
// was: the writer refuses it.
TEST(Channel, WriterRefusesWhatIsNotAFifo)
{
    const std::string content = "keep these bytes as they are\n";
    for (bool link : {false, true}) {
        TempDir dir;
        write_file(dir / "data", content);
        if (link)
            ASSERT_EQ(symlink("data", (dir / "FIFOVEK").c_str()), 0);
        else
            ASSERT_EQ(rename((dir / "data").c_str(), (dir / "FIFOVEK").c_str()), 0);

        Process writer({.argv = {BIN_SEND_DIGITS}, .dir = dir.path()});
        ASSERT_TRUE(writer.finish());
        EXPECT_EQ(writer.out(), "");
        EXPECT_EQ(writer.err(), "send_digits: FIFOVEK: not a FIFO\n");
        EXPECT_EQ(writer.exit_code(), 1);
        EXPECT_EQ(read_file(dir / "FIFOVEK"), content);
    }
}

// Where the channel cannot be made, opened or read as a FIFO, the classifier
// reports it and ends at once, instead of spinning or waiting for ever.
TEST(Channel, ClassifierFailsOnABadChannel)
{
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> prepare;
        std::string error;
    };
    const Case cases[] = {
        {"regular file", [](const TempDir& d) { write_file(d / "FIFOVEK", "abc\n"); },
         "phrase_classifier: FIFOVEK: not a FIFO\n"},
        {"folder", [](const TempDir& d) { mkdir((d / "FIFOVEK").c_str(), 0700); },
         "phrase_classifier: FIFOVEK: not a FIFO\n"},
        {"dangling link", [](const TempDir& d) { symlink("gone", (d / "FIFOVEK").c_str()); },
         "phrase_classifier: FIFOVEK: No such file or directory\n"},
    };
    for (const auto& [what, prepare, error] : cases) {
        TempDir dir;
        prepare(dir);
        Process c({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path()});
        ASSERT_TRUE(c.finish()) << what;
        EXPECT_EQ(c.out(), "") << what;
        EXPECT_EQ(c.err(), error) << what;
        EXPECT_EQ(c.exit_code(), 1) << what;
    }

    // A working folder that was removed: nothing can be created in it.
    TempDir dir;
    std::string gone = dir / "gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    auto remove_folder = [&] { rmdir(gone.c_str()); };
    Process c({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = gone, .before_exec = remove_folder});
    ASSERT_TRUE(c.finish());
    EXPECT_EQ(c.err(), "phrase_classifier: mkfifo FIFOVEK: No such file or directory\n");
    EXPECT_EQ(c.exit_code(), 1);
}

// A read that fails ends the classifier with the reason, never with a
// verdict on a phrase it did not get.
TEST(Channel, ClassifierReportsAFailedRead)
{
    TempDir dir;
    Process c({.argv = {"/usr/bin/fiu-run", "-x", "-c", "enable name=posix/io/rw/read,failinfo=5",
                        BIN_PHRASE_CLASSIFIER},
               .dir = dir.path(),
               .env = {"ASAN_OPTIONS=detect_leaks=0"}}); // libfiu leaks at start-up
    ASSERT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));
    int fd = -1;
    ASSERT_TRUE(eventually([&] {
        fd = open((dir / "FIFOVEK").c_str(), O_WRONLY | O_NONBLOCK);
        return fd != -1;
    }));
    // The channel is held open, so the classifier's open returns and its
    // read fails at once; it must not wait for bytes that would race its end.
    ASSERT_TRUE(c.finish());
    close(fd);
    EXPECT_EQ(c.err(), "phrase_classifier: read FIFOVEK: Input/output error\n");
    EXPECT_EQ(c.exit_code(), 1);
    EXPECT_EQ(c.out().find("Esta frase"), std::string::npos) << c.out();
}

// One classifier per channel: a second one in the same folder is refused
// and the first goes on judging whole phrases; once the first is gone, even
// by SIGKILL, a new one serves at once. Other folders are not concerned.
TEST(Channel, OneClassifierPerChannel)
{
    Classifier first;
    Process second({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = first.dir.path()});
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(second.err(), "phrase_classifier: FIFOVEK: already served by another classifier\n");
    EXPECT_EQ(second.exit_code(), 1);
    EXPECT_EQ(second.out(), "");
    // Each writer waits for the verdict before it: a writer that opens the
    // channel before the classifier has seen the last one leave shares its
    // phrase, as writers that overlap do.
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        run_writer(BIN_SEND_MIXED, first.dir);
        expected += cycle("que pasa21\n", kMixed);
        ASSERT_TRUE(first.process.wait_for_output(expected)) << first.process.out();
    }

    Classifier elsewhere; // another folder, served at the same time
    run_writer(BIN_SEND_DIGITS, elsewhere.dir);
    ASSERT_TRUE(elsewhere.process.wait_for_output(cycle("1000293\n", kNumbers)));

    first.process.signal_group(SIGKILL);
    ASSERT_TRUE(first.process.wait_exit());
    Process next({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = first.dir.path(), .terminal = true});
    run_writer(BIN_SEND_WORDS, first.dir);
    ASSERT_TRUE(next.wait_for_output(kLetters));
    EXPECT_EQ(next.out(), cycle("que pasa\n", kLetters));
    EXPECT_EQ(next.err(), "");
}

// A classifier held up 20 ms in every close: writers that open the channel
// just as it closes must still have their phrases read. Every writer that
// reports success has its phrase echoed whole, whether the writers come one
// right after another or from three loops at once.
TEST(Channel, NoPhraseLostWhileTheClassifierCloses)
{
    TempDir probe;
    Process strace_works({.argv = {BIN_SYSCALL_TIMELINE, "--can-trace"}, .dir = probe.path()});
    ASSERT_TRUE(strace_works.finish());
    if (strace_works.exit_code() != 0)
        GTEST_SKIP() << strace_works.err();

    TempDir dir;
    Process c({.argv = {"/usr/bin/strace", "-f", "-o", "/dev/null", "-e", "trace=close", "-e",
                        "inject=close:delay_enter=20000", BIN_PHRASE_CLASSIFIER},
               .dir = dir.path(),
               .terminal = true});
    ASSERT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));

    // Each loop prints how many of its writers ended well.
    auto loop = [&](const char* writer, int count, const char* pause) {
        std::string script = std::string("ok=0; for i in $(seq ") + std::to_string(count) +
                             "); do '" + writer + "' >/dev/null && ok=$((ok+1)); sleep " + pause +
                             "; done; echo $ok";
        return std::make_unique<Process>(
            Options{.argv = {"/bin/sh", "-c", script}, .dir = dir.path()});
    };
    auto echoes = [&](std::string_view phrase) {
        size_t n = 0;
        for (size_t at = 0; (at = c.out().find(phrase, at)) != std::string::npos; at += 1)
            ++n;
        return int(n);
    };
    auto expect_all_echoed = [&](const std::vector<std::pair<std::string_view, int>>& sent) {
        EXPECT_TRUE(eventually([&] {
            c.collect(10ms);
            for (const auto& [phrase, ok] : sent)
                if (echoes(phrase) < ok)
                    return false;
            return true;
        }));
        for (const auto& [phrase, ok] : sent) {
            EXPECT_GT(ok, 0) << phrase;
            EXPECT_EQ(echoes(phrase), ok) << phrase;
        }
    };

    // (a) each writer starts the moment the one before has ended.
    auto in_a_row = loop(BIN_SEND_WORDS, 30, "0");
    ASSERT_TRUE(in_a_row->finish(60s));
    expect_all_echoed({{"que pasa\n", std::stoi(in_a_row->out())}});

    // (b) three loops at once, each with its own short pauses.
    auto digits = loop(BIN_SEND_DIGITS, 15, "0.003");
    auto mixed = loop(BIN_SEND_MIXED, 15, "0.005");
    auto words = loop(BIN_SEND_WORDS, 15, "0.007");
    for (auto* l : {digits.get(), mixed.get(), words.get()})
        ASSERT_TRUE(l->finish(60s));
    expect_all_echoed({{"que pasa\n", std::stoi(in_a_row->out()) + std::stoi(words->out())},
                       {"que pasa21\n", std::stoi(mixed->out())},
                       {"1000293\n", std::stoi(digits->out())}});
}
