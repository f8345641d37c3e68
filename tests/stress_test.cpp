// The classifier under load, its output into a file: many writers in a row
// and at once, a large phrase of any bytes, a writer killed halfway, a
// classifier killed and started again. Every wait is bounded.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <regex>

#include "classifier.hpp"
#include "harness.hpp"

using namespace harness;

namespace {

struct Writer {
    const char* program;
    std::string_view phrase;
};
const Writer kWriters[] = {
    {BIN_SEND_DIGITS, "1000293\n"},
    {BIN_SEND_WORDS, "que pasa\n"},
    {BIN_SEND_MIXED, "que pasa21\n"},
};

// The output split into cycles: echo and verdict of each.
std::vector<std::pair<std::string, std::string>> cycles(const std::string& out)
{
    std::vector<std::pair<std::string, std::string>> found;
    const std::string announce = kAnnounce;
    const std::regex verdict("Esta frase esta compuesto de (numeros y letras|numeros|letras)\n");
    size_t at = 0;
    while (out.compare(at, announce.size(), announce) == 0) {
        at += announce.size();
        // The echo ends right before the verdict that ends the cycle: the
        // next announcement, or the end of the text, follows it.
        size_t next = out.find(announce, at);
        std::string rest =
            out.substr(at, next == std::string::npos ? std::string::npos : next - at);
        std::smatch m;
        if (!std::regex_search(rest, m, verdict) ||
            size_t(m.position(0) + m.length(0)) != rest.size())
            break;
        found.emplace_back(rest.substr(0, size_t(m.position(0))), m.str(0));
        at += rest.size();
    }
    return found;
}

} // namespace

// A thousand phrases from the three writers, each started once the one
// before has been judged: a thousand right verdicts, in order.
TEST(Stress, AThousandWritersInARow)
{
    Classifier c(Classifier::Output::file);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const Writer& w = kWriters[i % 3];
        long before = c.reads();
        Process writer({.argv = {w.program}, .dir = c.dir.path()});
        ASSERT_TRUE(writer.finish());
        ASSERT_EQ(writer.exit_code(), 0);
        ASSERT_TRUE(c.judged(w.phrase.size(), before)) << "phrase " << i;
        expected += cycle(w.phrase, verdict_for(w.phrase));
    }
    std::string out = c.flushed_output();
    ASSERT_GE(out.size(), expected.size());
    EXPECT_EQ(out.substr(0, expected.size()), expected);
}

// Four writer loops at once. Phrases whose opens overlap are judged
// together, but every byte that a writer sent is echoed exactly once, and
// every cycle has one announcement and one right verdict.
TEST(Stress, FourWriterLoopsAtOnce)
{
    Classifier c(Classifier::Output::file);
    const int rounds = 100;
    std::vector<std::unique_ptr<Process>> loops;
    const Writer* writers[] = {&kWriters[0], &kWriters[1], &kWriters[2], &kWriters[0]};
    for (const Writer* w : writers) {
        // Counts the writers that ended well: one killed by SIGPIPE, because
        // the classifier closed between its open and its write, sent nothing.
        std::string loop = "ok=0; for i in $(seq " + std::to_string(rounds) + "); do '" +
                           w->program + "' >/dev/null && ok=$((ok+1)); done; echo $ok";
        loops.push_back(std::make_unique<Process>(
            Options{.argv = {"/bin/sh", "-c", loop}, .dir = c.dir.path()}));
    }
    std::map<std::string_view, int> sent;
    for (size_t i = 0; i < loops.size(); ++i) {
        ASSERT_TRUE(loops[i]->finish(60s));
        sent[writers[i]->phrase] += std::stoi(loops[i]->out());
    }
    ASSERT_TRUE(eventually([&] { return !c.holds_channel(); }));

    std::string out = c.flushed_output();
    auto judged = cycles(out);
    // The phrase that pushed the output out still has its verdict in the
    // buffer: only its announcement counts.
    size_t announcements = 0;
    for (size_t at = 0; (at = out.find(kAnnounce, at)) != std::string::npos; ++at)
        ++announcements;
    EXPECT_EQ(announcements, judged.size() + 1);

    std::map<std::string_view, int> echoed;
    for (const auto& [echo, verdict] : judged) {
        EXPECT_EQ(verdict, verdict_for(echo)) << echo;
        // Each write is atomic: an echo is whole phrases, one after another.
        std::string_view rest = echo;
        while (!rest.empty()) {
            bool matched = false;
            for (const Writer& w : kWriters) {
                if (rest.substr(0, w.phrase.size()) == w.phrase) {
                    ++echoed[w.phrase];
                    rest.remove_prefix(w.phrase.size());
                    matched = true;
                    break;
                }
            }
            ASSERT_TRUE(matched) << "not whole phrases: " << echo;
        }
    }
    EXPECT_EQ(echoed, sent);
}

// 1 MiB of random bytes, NUL and bytes above 0x7F included, in one phrase:
// sixteen times the channel's capacity and 256 fills of the output buffer,
// echoed exactly, in order, and judged right.
TEST(Stress, AMebibyteOfAnyBytes)
{
    Classifier c(Classifier::Output::file);
    std::string phrase(1 << 20, '\0');
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): the same bytes on every run
    std::mt19937 random(20261208);
    for (char& byte : phrase)
        byte = char(random());
    c.send(phrase, 60s);
    std::string out = c.flushed_output();
    std::string expected = cycle(phrase, verdict_for(phrase));
    ASSERT_GE(out.size(), expected.size());
    EXPECT_TRUE(out.compare(0, expected.size(), expected) == 0);
}

// A writer killed in the middle of its phrase ends the cycle with what it
// had sent; the next phrase is judged alone.
TEST(Stress, WriterKilledHalfway)
{
    Classifier c(Classifier::Output::terminal);
    long before = c.reads();
    Process writer({.argv = {"/bin/sh", "-c", "printf 12ab; exec sleep 60"},
                    .dir = c.dir.path(),
                    .output_file = c.dir / "FIFOVEK"});
    ASSERT_TRUE(eventually([&] { return c.reads() >= before + 4; }));
    writer.signal_group(SIGKILL);
    ASSERT_TRUE(c.judged(4, before));
    c.send("que pasa\n");
    ASSERT_TRUE(c.process.wait_for_output(kLetters));
    EXPECT_EQ(c.process.out(), cycle("12ab", kNumbers) + cycle("que pasa\n", kLetters));
}

// Killed and started again in the same folder, the classifier reuses its
// channel without a word.
TEST(Stress, ClassifierRestartedReusesTheChannel)
{
    TempDir dir;
    for (int run = 0; run < 3; ++run) {
        Process c({.argv = {BIN_PHRASE_CLASSIFIER}, .dir = dir.path(), .terminal = true});
        ASSERT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));
        Process writer({.argv = {BIN_SEND_MIXED}, .dir = dir.path()});
        ASSERT_TRUE(writer.finish());
        ASSERT_TRUE(c.wait_for_output(kMixed));
        EXPECT_EQ(c.out(), cycle("que pasa21\n", kMixed));
        EXPECT_EQ(c.err(), "");
        c.signal_group(SIGKILL);
        ASSERT_TRUE(c.wait_exit());
    }
}
