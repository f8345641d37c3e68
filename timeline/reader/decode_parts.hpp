// What a call's decoder gets, for the reader's decoders alone, and the
// decoders that live apart from the table of calls (decoders_waits.cpp).
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/event.hpp"

namespace timeline::strace {

// What a call's decoder gets: its parts as written.
struct Parts {
    const std::vector<std::string_view>& args;
    std::string_view result;
    const Call& call;

    std::string_view arg(size_t i) const { return i < args.size() ? args[i] : std::string_view(); }
    bool failed() const { return call.finished && !call.error.empty(); }
    // Whether a flag of close-on-exec is among the arguments: O_CLOEXEC,
    // SOCK_CLOEXEC, EFD_CLOEXEC...
    bool cloexec() const
    {
        return std::any_of(args.begin(), args.end(), [](std::string_view a) {
            return a.find("CLOEXEC") != std::string_view::npos;
        });
    }
    // The status flags among the arguments that stay with an open file
    // description: "O_NONBLOCK|O_APPEND" of "O_WRONLY|O_CREAT|O_NONBLOCK|O_APPEND".
    // A socket's, an eventfd's, a signalfd's or a timerfd's own name for
    // O_NONBLOCK (SOCK_NONBLOCK...) sets the same flag, and is told so.
    std::string status_flags() const
    {
        static constexpr std::pair<std::string_view, std::string_view> kKept[] = {
            {"O_NONBLOCK", "O_NONBLOCK"},   {"SOCK_NONBLOCK", "O_NONBLOCK"},
            {"EFD_NONBLOCK", "O_NONBLOCK"}, {"SFD_NONBLOCK", "O_NONBLOCK"},
            {"TFD_NONBLOCK", "O_NONBLOCK"}, {"IN_NONBLOCK", "O_NONBLOCK"},
            {"O_APPEND", "O_APPEND"},       {"O_SYNC", "O_SYNC"},
            {"O_DSYNC", "O_DSYNC"},         {"O_ASYNC", "O_ASYNC"},
            {"O_DIRECT", "O_DIRECT"},       {"O_NOATIME", "O_NOATIME"}};
        std::string flags;
        for (std::string_view a : args)
            for (auto [flag, kept] : kKept)
                for (size_t at = a.find(flag); at != std::string_view::npos;
                     at = a.find(flag, at + 1)) {
                    size_t after = at + flag.size();
                    bool whole =
                        (at == 0 || a[at - 1] == '|') && (after == a.size() || a[after] == '|');
                    if (whole && flags.find(kept) == std::string::npos)
                        flags.append(flags.empty() ? "" : "|").append(kept);
                }
        return flags;
    }
};

using Decoded = std::optional<CallArgs>;
using Decode = Decoded (*)(const Parts&);

// Each returns nothing when the call did not do what its shape says: the
// call is then shown as written.
namespace decode {
Decoded fcntl(const Parts& p);
Decoded poll(const Parts& p);
Decoded select(const Parts& p);
Decoded epoll_wait(const Parts& p);
Decoded watch(const Parts& p);
Decoded signal_action(const Parts& p);
Decoded signal_mask(const Parts& p);
Decoded numbers(const Parts& p);
} // namespace decode

} // namespace timeline::strace
