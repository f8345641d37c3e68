// One step in words: an overload of Describe for each kind of step, in
// three files by family: step_words.cpp (a process's life, and the words
// every step ends with), step_words_io.cpp (descriptors and the data
// through them), step_words_signals.cpp (signals, and why a call failed).
// For the views' wording alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/language.hpp"
#include "views/wording.hpp"

namespace timeline::words {

// A call that blocked at least this long says how long it waited.
constexpr double kWaitShown = 0.001;

// Only what carries data from a writer to a reader has ends.
inline bool has_ends(const Channel* channel)
{
    return channel && channel->carries_data();
}

// "EPIPE (no reader is left)": why a call failed, the kernel's name first;
// an error without words as it is.
std::string error_text(const std::string& error);
// A call that a signal interrupted: the kernel restarts it, or it fails
// with EINTR.
bool interrupted(const std::string& error);

// Appends `message`, each of its parts ({1} to {9}) made in place by
// part(text, n): the steps a long trace has a million of allocate nothing.
template <class Part>
void append_filled(std::string& text, std::string_view message, const Part& part)
{
    for (size_t at = 0; at < message.size();) {
        size_t brace = message.find('{', at);
        if (brace == std::string_view::npos || brace + 2 >= message.size()) {
            text.append(message.substr(at));
            return;
        }
        text.append(message.substr(at, brace - at));
        char digit = message[brace + 1];
        if (digit >= '1' && digit <= '9' && message[brace + 2] == '}') {
            part(text, digit - '0');
            at = brace + 3;
        } else {
            text += '{';
            at = brace + 1;
        }
    }
}

// "a, b and c", joined as the language joins a list.
std::string listed(const std::vector<std::string>& items);

struct Describe {
    const Run& run;
    const Step& s;
    const Channel* channel = run.channel_of(s);

    std::string name() const { return channel ? channel_name(*channel) : std::string(); }
    // The channel as the thing a sentence speaks of: "la tubería A".
    std::string the() const
    {
        return channel ? channel_name(*channel, Article::definite) : std::string();
    }
    // "fd 3 (pipe A)", "fd 1 (the terminal)", "fd 4 (pipe A, read end)"
    std::string where(int fd, End end = End::unknown) const
    {
        std::string text;
        append_where(text, fd, end);
        return text;
    }
    void append_where(std::string& text, int fd, End end = End::unknown) const
    {
        text += "fd ";
        text += std::to_string(fd);
        if (channel) {
            text += " (";
            append_channel_name(text, *channel);
            if (end != End::unknown && has_ends(channel))
                text += end_words(held(end));
            text += ")";
        }
    }
    std::string operator()(const step::Start& x) const;
    std::string operator()(const step::Fork& x) const;
    std::string operator()(const step::Born& x) const;
    std::string operator()(const step::NewThread& x) const;
    std::string operator()(const step::ThreadStart& x) const;
    // "fd 3 (pipe A, read end)" for a descriptor given up
    static std::string dropped(const step::Dropped& d);
    std::string operator()(const step::Exec& x) const;
    std::string operator()(const step::ExecFailed& x) const;
    std::string operator()(const step::Appears& x) const;
    std::string operator()(const step::Adopted& x) const;
    std::string operator()(const step::CollectedOutside& /*unused*/) const;
    std::string operator()(const step::Superseded& x) const;
    std::string operator()(const step::ProcessGroup& x) const;
    std::string operator()(const step::Subreaper& /*unused*/) const;
    std::string operator()(const step::HiddenCalls& x) const;
    std::string operator()(const step::Pipe& x) const;
    // Appended in place: "creates pipe A: fd 3 reads, fd 4 writes".
    void append(std::string& text, const step::Pipe& x) const;
    std::string operator()(const step::SocketPair& x) const;
    std::string operator()(const step::MakeFifo& /*unused*/) const;
    std::string operator()(const step::Open& x) const;
    std::string operator()(const step::OpenWaiting& x) const;
    std::string operator()(const step::OpenFailed& x) const;
    std::string operator()(const step::Close& x) const;
    void append(std::string& text, const step::Close& x) const;
    std::string operator()(const step::Fcntl& x) const;
    std::string operator()(const step::Dup& x) const;
    std::string operator()(const step::Seek& x) const;
    std::string operator()(const step::Map& x) const;
    // "creates socket 1 as fd 3", "creates eventfd as fd 4": a socket, an
    // eventfd, a signalfd, named as every channel is
    std::string operator()(const step::NewFd& x) const;
    std::string operator()(const step::Accept& x) const;
    std::string operator()(const step::SocketAddress& x) const;
    // "reads 1 byte, 11 times, from fd 4 (FIFOVEK): "que pasa21\n""
    std::string operator()(const step::Transfer& x) const;
    // Appended in place: a long trace has a million of these.
    void append(std::string& text, const step::Transfer& x) const;
    // "fd 5 (socket pair A) and fd 6", the descriptors a message carries
    std::string passed(const step::Transfer& x) const;
    std::string operator()(const step::TransferFailed& x) const;
    // "fd 3 (pipe A) and fd 5 (pipe B)", the ready ones or all
    std::string watched(const step::Poll& x, bool ready_only) const;
    std::string operator()(const step::Poll& x) const;
    std::string operator()(const step::Watch& x) const;
    std::string operator()(const step::TransferWaiting& x) const;
    std::string operator()(const step::EndOfData& x) const;
    std::string operator()(const step::UnreadWait& x) const;
    std::string operator()(const step::Sleep& x) const;
    std::string operator()(const step::Alarm& x) const;
    std::string operator()(const step::SleepGoesOn& x) const;
    std::string operator()(const step::AskParent& x) const;
    std::string operator()(const step::AskPid& x) const;
    std::string operator()(const step::Collect& x) const;
    std::string operator()(const step::WaitWaiting& /*unused*/) const;
    std::string operator()(const step::WaitPoll& x) const;
    std::string operator()(const step::ChildChanged& x) const;
    std::string operator()(const step::Stopped& x) const;
    std::string operator()(const step::WaitNone& /*unused*/) const;
    std::string operator()(const step::Lock& x) const;
    std::string operator()(const step::Kill& x) const;
    std::string operator()(const step::Disposition& x) const;
    std::string operator()(const step::Mask& x) const;
    std::string operator()(const step::Pause& x) const;
    std::string operator()(const step::CallFailed& x) const;
    std::string operator()(const step::NeverReturned& x) const;
    std::string operator()(const step::Exit& x) const;
    std::string operator()(const step::Ended& x) const;
    std::string operator()(const step::Signal& x) const;
    static std::string received(const step::Signal& x);
    std::string operator()(const step::Zombie& x) const;
    std::string operator()(const step::StillRunning& /*unused*/) const;
    std::string operator()(const step::AsWritten& x) const;
};

} // namespace timeline::words
