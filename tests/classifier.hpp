// A running phrase_classifier for the tests, and what it prints.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

#include "harness.hpp"

namespace harness {

constexpr char kAnnounce[] = "OBTENIENDO  Informacion...";
constexpr char kNumbers[] = "Esta frase esta compuesto de numeros\n";
constexpr char kMixed[] = "Esta frase esta compuesto de numeros y letras\n";
constexpr char kLetters[] = "Esta frase esta compuesto de letras\n";
constexpr char kSending[] = "Mandando  informacion  al  FIFO...\n";

// What the classifier prints for one phrase.
inline std::string cycle(std::string_view phrase, std::string_view verdict)
{
    return kAnnounce + std::string(phrase) + std::string(verdict);
}

// The verdict the classifier owes a phrase.
inline std::string_view verdict_for(std::string_view phrase)
{
    size_t non_digits = 0;
    for (char c : phrase)
        non_digits += (c < '0' || c > '9') ? 1 : 0;
    if (non_digits <= 2)
        return kNumbers;
    return non_digits < phrase.size() ? kMixed : kLetters;
}

inline bool is_fifo(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// A classifier running in its own folder, its channel in place; its output
// to a terminal, a pipe or a file.
struct Classifier {
    enum class Output { terminal, pipe, file };

    explicit Classifier(Output output = Output::terminal,
                        std::function<void()> before_exec = nullptr)
        : process({.argv = {BIN_PHRASE_CLASSIFIER},
                   .dir = dir.path(),
                   .terminal = output == Output::terminal,
                   .output_file = output == Output::file ? dir / "out" : "",
                   .before_exec = std::move(before_exec)})
    {
        EXPECT_TRUE(eventually([&] { return is_fifo(dir / "FIFOVEK"); }));
    }

    bool holds_channel() const
    {
        for (const auto& [fd, target] : open_fds(process.pid()))
            if (target == dir / "FIFOVEK")
                return true;
        return false;
    }

    long reads() const { return proc_io(process.pid(), "syscr"); }

    // After a writer of `bytes` bytes has closed: waits until the
    // classifier has read them and the end of data (one read each, counted
    // from `reads_before`), and has closed the channel. A writer that
    // opened before that would add its bytes to this phrase.
    bool judged(size_t bytes, long reads_before, Duration timeout = 10s) const
    {
        return eventually(
            [&] { return reads() >= reads_before + long(bytes) + 1 && !holds_channel(); }, timeout);
    }

    // Sends `phrase` as a writer would, from the test itself, and waits
    // until it has been judged.
    void send(std::string_view phrase, Duration timeout = 10s)
    {
        long before = reads();
        int fd = -1;
        // Non-blocking: without a reader the open fails (ENXIO), it does not hang.
        ASSERT_TRUE(eventually([&] {
            fd = open((dir / "FIFOVEK").c_str(), O_WRONLY | O_NONBLOCK);
            return fd != -1;
        })) << "no reader on FIFOVEK";
        ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);
        for (size_t sent = 0; sent < phrase.size();) {
            ssize_t n = write(fd, phrase.data() + sent, phrase.size() - sent);
            ASSERT_GT(n, 0);
            sent += size_t(n);
        }
        close(fd);
        ASSERT_TRUE(judged(phrase.size(), before, timeout));
    }

    // Into a file the output stays in the classifier's buffer until it
    // fills: a phrase larger than the buffer pushes out all that came
    // before it. Returns the file's content.
    std::string flushed_output()
    {
        const size_t buffer = 4096;
        send(std::string(3 * buffer, 'x'));
        return read_file(dir / "out");
    }

    TempDir dir;
    Process process;
};

} // namespace harness
