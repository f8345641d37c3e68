// A call's text decoded into a typed Call. Which decoder a call goes
// through is its row's in the table of calls (calls.def); each decoder
// reads one shape of arguments.
#pragma once

#include <optional>
#include <string_view>

#include "reader/event.hpp"

namespace timeline::strace {

// "name(args) = result <duration>", as strace wrote it after the pid and
// the time; or only a call's start ("write(4<pipe:[9]>, "hi", 2"), when
// `start_only`. Nothing when the text is not a call.
std::optional<Call> decode_call(std::string_view text, bool start_only = false);
// The same into `call`, a Call as it is made (empty); whether it was one.
bool decode_call(std::string_view text, Call& call, bool start_only = false);

// Whether a call counts from its start rather than its end: a write's
// bytes are in the pipe as soon as it starts, where a reader may take them
// before the writer's line ends; a sleep is what a process does next.
bool counts_from_start(const Call& call);

// Whether a call of this name makes a process or a thread (fork, vfork,
// clone, clone3): a child's first lines may come before it returns.
bool starts_process(std::string_view name);

} // namespace timeline::strace
