// Traces for the timeline's tests: a few strace lines written by hand, a
// program recorded as the tool records it, and the model each gives.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness.hpp"
#include "model/run.hpp"

namespace traces {

// The events of an excerpt of a trace, and the model they make.
std::vector<timeline::Event> read_all(const std::string& text);
timeline::Run model(const std::string& text);
// The model of trace files merged by time, each call with its line;
// `world`: with what each step changed in the world (Run::world()).
timeline::Run model_of_files(const std::vector<std::string>& files, bool world = false);
// The same for excerpts written by hand, each one a trace of its own.
timeline::Run model_of_excerpts(const std::vector<std::string>& texts);

// A sanitizer build's leak check stops the world with ptrace at exit,
// which it cannot do in a process that strace traces.
inline const std::string kNoLeakCheck = "ASAN_OPTIONS=detect_leaks=0";

// Whether the tool may trace here; the reason when it may not.
std::string tracing_refused();

std::vector<std::string> traces_in(const std::string& dir);

// What the tool says of each step of these traces, checked against the
// trace lines the step names by a reader of the trace that shares nothing
// with the tool's (tests/oracle/check_steps.py); every difference fails.
// `recorded_now`: by the test, on a machine perhaps busy.
void expect_steps_agree(const std::vector<std::string>& files, bool recorded_now = true);

// Records a program as the tool does. `until(trace)` decides, from what
// the trace holds so far, when the run has shown enough: the recording is
// then stopped with SIGTERM, which strace ends cleanly.
timeline::Run traced(const std::string& program, std::optional<std::string> input = std::nullopt,
                     const std::function<bool(const std::string&)>& until = nullptr,
                     bool lines = true);

// A command recorded as the tool records it, to its end, in an
// environment of its own; the trace file's path.
struct Recorded {
    harness::TempDir dir;
    std::string trace;
};
std::unique_ptr<Recorded> record(const std::vector<std::string>& command,
                                 const std::vector<std::string>& env = {}, bool lines = true);

template <class Kind>
std::vector<const timeline::Step*> steps_of(const timeline::Run& run, int pid = 0)
{
    std::vector<const timeline::Step*> found;
    for (const auto& s : run.steps())
        if (s.is<Kind>() && (pid == 0 || s.pid == pid))
            found.push_back(&s);
    return found;
}

std::string channel_name(const timeline::Run& run, const timeline::Step& s);

size_t count(const std::string& text, const std::string& what);

} // namespace traces

#define SKIP_WITHOUT_TRACING()                                                                     \
    if (auto why = traces::tracing_refused(); !why.empty())                                        \
    GTEST_SKIP() << "tracing is refused here: " << why
