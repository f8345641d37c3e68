#include "traced.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "reader/merged_traces.hpp"
#include "reader/source_lines.hpp"
#include "reader/trace_reader.hpp"
#include "views/wording.hpp"

using namespace harness;

namespace traces {

std::vector<timeline::Event> read_all(const std::string& text)
{
    std::istringstream in(text);
    timeline::TraceReader reader(in, "excerpt");
    std::vector<timeline::Event> events;
    while (auto e = reader.next())
        events.push_back(*e);
    return events;
}

timeline::Run model(const std::string& text)
{
    timeline::Run run;
    for (const auto& e : read_all(text))
        run.add(e);
    run.finish();
    return run;
}

namespace {

timeline::Run model_of(timeline::MergedTraces& traces, bool world = false)
{
    timeline::Run run;
    if (world)
        run.record_world();
    timeline::SourceLines lines;
    run.set_source_of([&](const std::vector<timeline::Frame>& frames) { return lines.of(frames); });
    while (auto e = traces.next())
        run.add(*e);
    run.finish();
    return run;
}

} // namespace

timeline::Run model_of_files(const std::vector<std::string>& files, bool world)
{
    timeline::MergedTraces traces;
    for (const auto& file : files)
        traces.add(std::make_unique<std::ifstream>(file), file);
    return model_of(traces, world);
}

timeline::Run model_of_excerpts(const std::vector<std::string>& texts)
{
    timeline::MergedTraces traces;
    for (size_t i = 0; i < texts.size(); ++i)
        traces.add(std::make_unique<std::istringstream>(texts[i]), "excerpt " + std::to_string(i));
    return model_of(traces);
}

std::string tracing_refused()
{
    TempDir dir;
    Process probe({.argv = {BIN_SYSCALL_TIMELINE, "--can-trace"}, .dir = dir.path()});
    if (!probe.finish() || probe.exit_code() != 0)
        return probe.err().empty() ? "syscall_timeline did not run" : probe.err();
    return "";
}

std::vector<std::string> traces_in(const std::string& dir)
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".trace")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

// The traces the running test recorded, kept when it fails: a rare failure
// on a busy machine can then be read again, its trace whole.
std::vector<std::pair<std::string, std::string>> recorded_traces; // name, text

class KeepFailedTraces : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& /*unused*/) override { recorded_traces.clear(); }
    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        if (!info.result()->Failed() || recorded_traces.empty())
            return;
        std::string dir = std::string(BUILD_DIR) + "/Testing/failed-traces";
        std::filesystem::create_directories(dir);
        for (size_t i = 0; i < recorded_traces.size(); ++i) {
            std::string path = dir + "/" + info.test_suite_name() + "." + info.name() + "-" +
                               std::to_string(getpid()) + "-" + std::to_string(i) + "-" +
                               recorded_traces[i].first;
            write_file(path, recorded_traces[i].second);
            std::printf("the trace it recorded is kept in %s\n", path.c_str());
        }
    }
};

[[maybe_unused]] const bool keeping = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new KeepFailedTraces);
    return true;
}();

// The traces, and how the recorder (strace itself) ended, with what it said.
void keep(const std::vector<std::string>& files, const Process& recorder)
{
    for (const auto& file : files)
        recorded_traces.emplace_back(std::filesystem::path(file).filename().string(),
                                     read_file(file));
    recorded_traces.emplace_back(
        "recorder", "exit status " + std::to_string(recorder.exit_code()) + ", signal " +
                        std::to_string(recorder.term_signal()) + "\n" + recorder.err());
}

} // namespace

void expect_steps_agree(const std::vector<std::string>& files, bool recorded_now)
{
    if (files.empty())
        return;
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(SOURCE_DIR) + "/tests/oracle/check_steps.py"};
    // Recorded now, on a machine perhaps busy: a call that had what it
    // asked for may last milliseconds all the same.
    if (recorded_now)
        argv.insert(argv.end(), {"--blocked-at", "0.05"});
    argv.emplace_back(BIN_SYSCALL_TIMELINE);
    argv.insert(argv.end(), files.begin(), files.end());
    Process check({.argv = argv, .env = {kNoLeakCheck}});
    ASSERT_TRUE(check.finish());
    EXPECT_EQ(check.exit_code(), 0) << check.out() << check.err();
}

timeline::Run traced(const std::string& program, std::optional<std::string> input,
                     const std::function<bool(const std::string&)>& until, bool lines)
{
    TempDir dir;
    std::vector<std::string> files;
    {
        std::vector<std::string> argv = {BIN_SYSCALL_TIMELINE, "--record", dir.path()};
        if (!lines)
            argv.emplace_back("--no-lines");
        argv.insert(argv.end(), {"--", program});
        Process p(
            {.argv = argv, .dir = dir.path(), .input = std::move(input), .env = {kNoLeakCheck}});
        if (until) {
            EXPECT_TRUE(eventually([&] {
                auto now = traces_in(dir.path());
                return !now.empty() && until(read_file(now[0]));
            }));
            ::kill(p.pid(), SIGTERM); // the recorder is strace itself
        }
        EXPECT_TRUE(p.wait_exit(kDeadline));
        if (!until) {
            EXPECT_EQ(p.term_signal(), 0) << p.err();
        }
        files = traces_in(dir.path());
        keep(files, p);
    }
    EXPECT_EQ(files.size(), 1u);
    expect_steps_agree(files);
    return model_of_files(files);
}

std::unique_ptr<Recorded> record(const std::vector<std::string>& command,
                                 const std::vector<std::string>& env, bool lines)
{
    auto recorded = std::make_unique<Recorded>();
    std::vector<std::string> argv = {BIN_SYSCALL_TIMELINE, "--record", recorded->dir.path()};
    if (!lines)
        argv.emplace_back("--no-lines");
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    std::vector<std::string> environment = env;
    environment.push_back(kNoLeakCheck);
    Process p({.argv = argv, .dir = recorded->dir.path(), .env = environment});
    EXPECT_TRUE(p.finish(kDeadline));
    EXPECT_EQ(p.term_signal(), 0) << p.err();
    auto files = traces_in(recorded->dir.path());
    EXPECT_EQ(files.size(), 1u);
    if (!files.empty())
        recorded->trace = files[0];
    keep(files, p);
    expect_steps_agree(files);
    return recorded;
}

std::string channel_name(const timeline::Run& run, const timeline::Step& s)
{
    return s.channel ? timeline::channel_name(run.channels()[*s.channel]) : "";
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace traces
