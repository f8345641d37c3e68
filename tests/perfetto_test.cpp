// The Perfetto export, read back by Python's json module as Perfetto's UI
// would read it: a track for each process and each thread, a slice for
// each step, and every flow with its start and its end, each bound inside
// a slice of its own track.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "base/language.hpp"
#include "harness.hpp"
#include "model/run.hpp"
#include "reader/merged_traces.hpp"
#include "views/trace_events.hpp"
#include "views/wording.hpp"

using namespace harness;

namespace {

// Reads the export and prints what it holds, a fact a line, then every
// fault it finds ("fault: ...").
constexpr char kCheck[] = R"py(
import json, sys
events = json.load(open(sys.argv[1]))["traceEvents"]
names, slices, flows = {}, {}, {}
for e in events:
    ph = e["ph"]
    if ph == "M" and e["name"] in ("process_name", "thread_name"):
        names[(e["name"], e["pid"], e.get("tid"))] = e["args"]["name"]
    elif ph == "X":
        slices.setdefault((e["pid"], e["tid"]), []).append(e)
    elif ph in "sf":
        flows.setdefault(e["id"], {})[ph] = e
for (kind, pid, tid), name in sorted(names.items()):
    print("track", kind, pid, tid if kind == "thread_name" else pid, name)
steps = [s for track in slices.values() for s in track if s.get("cat") != "life"]
print("slices", len(steps))
kinds = {}
for id, ends in flows.items():
    if set(ends) != {"s", "f"}:
        print("fault: flow", id, "has only", list(ends))
        continue
    kind = ends["s"]["name"].split(" ")[-1]  # "fork", "collected", "signal", "100 bytes"
    kinds[kind] = kinds.get(kind, 0) + 1
    for ph, end in ends.items():
        inside = [s for s in slices.get((end["pid"], end["tid"]), [])
                  if s.get("cat") != "life" and s["ts"] < end["ts"] < s["ts"] + s["dur"]]
        if len(inside) != 1:
            print("fault: flow", id, ph, "binds to", len(inside), "slices")
for name, n in sorted(kinds.items()):
    print("flows", name, n)
for track, spans in slices.items():
    steps = sorted((s for s in spans if s.get("cat") != "life"), key=lambda s: s["ts"])
    lives = [s for s in spans if s.get("cat") == "life"]
    for a, b in zip(steps, steps[1:]):
        if a["ts"] + a["dur"] > b["ts"]:
            print("fault: on", track, a["name"], "overlaps", b["name"])
    for s in steps:
        if not any(l["ts"] < s["ts"] and s["ts"] + s["dur"] <= l["ts"] + l["dur"] for l in lives):
            print("fault: on", track, s["name"], "is outside the process's life")
)py";

// A program whose second thread writes into a pipe its first reads.
constexpr char kThreads[] =
    "7  1.000000 execve(\"/bin/threads\", [\"threads\"], 0x0 /* 1 var */) = 0 <0.000100>\n"
    "7  1.000200 pipe2([3<pipe:[9]>, 4<pipe:[9]>], 0) = 0 <0.000010>\n"
    "7  1.000300 clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD|"
    "CLONE_SYSVSEM, exit_signal=0}, 88) = 8 <0.000050>\n"
    "8  1.000400 write(4<pipe:[9]>, \"hi\", 2) = 2 <0.000010>\n"
    "7  1.000500 read(3<pipe:[9]>, \"hi\", 8) = 2 <0.000200>\n"
    "8  1.000800 exit(0) = ?\n"
    "8  1.000900 +++ exited with 0 +++\n"
    "7  1.001000 exit_group(0) = ?\n"
    "7  1.001100 +++ exited with 0 +++\n";

std::vector<std::string> traces_of(const std::string& lesson)
{
    std::vector<std::string> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(TRACE_FIXTURES) + "/" + lesson))
        if (entry.path().extension() == ".trace")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

timeline::Run model_of(const std::vector<std::string>& files)
{
    timeline::MergedTraces traces;
    for (const auto& file : files)
        traces.add(std::make_unique<std::ifstream>(file), file);
    timeline::Run run;
    while (auto e = traces.next())
        run.add(*e);
    run.finish();
    return run;
}

// What the export should hold, said as the check prints it.
std::string expected(const timeline::Run& run)
{
    std::map<std::string, std::string> tracks; // sorted as the check sorts them
    size_t slices = 0;
    for (const auto& step : run.steps())
        slices += !step.is<timeline::step::Zombie>() && !step.is<timeline::step::StillRunning>();
    std::map<std::string, int> flows;
    for (const auto& arrow : run.arrows())
        ++flows[arrow.kind == timeline::Arrow::Kind::fork   ? "fork"
                : arrow.kind == timeline::Arrow::Kind::data ? (arrow.bytes == 1 ? "byte" : "bytes")
                : arrow.kind == timeline::Arrow::Kind::collect ? "collected"
                                                               : "signal"];
    std::ostringstream out;
    std::vector<std::tuple<std::string, int, int, std::string>> names;
    for (const auto& p : run.processes()) {
        if (p.thread_of != 0) {
            names.emplace_back("thread_name", p.thread_of, p.pid,
                               "thread " + std::to_string(p.thread_number));
            continue;
        }
        std::string name = timeline::program_name(
            p.programs.empty() ? p.program : p.programs.front().second, p.pid);
        if (name.rfind("pid ", 0) != 0)
            name += " " + std::to_string(p.pid);
        names.emplace_back("process_name", p.pid, p.pid, name);
        names.emplace_back("thread_name", p.pid, p.pid, name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& [kind, pid, tid, name] : names)
        out << "track " << kind << " " << pid << " " << tid << " " << name << "\n";
    out << "slices " << slices << "\n";
    for (const auto& [kind, n] : flows)
        out << "flows " << kind << " " << n << "\n";
    return out.str();
}

} // namespace

TEST(Perfetto, ExportHasTracksSlicesAndWholeFlows)
{
    TempDir dir;
    write_file(dir / "threads.trace", kThreads);
    write_file(dir / "check.py", kCheck);
    const std::vector<std::vector<std::string>> runs = {traces_of("date_handoff"),
                                                        traces_of("phrase_classifier"),
                                                        traces_of("two_children"),
                                                        {dir / "threads.trace"}};
    for (const auto& files : runs) {
        std::vector<std::string> argv = {BIN_SYSCALL_TIMELINE, "--perfetto", dir / "run.json"};
        argv.insert(argv.end(), files.begin(), files.end());
        Process tool({.argv = argv, .dir = dir.path()});
        ASSERT_TRUE(tool.finish());
        ASSERT_EQ(tool.exit_code(), 0) << tool.err();
        Process check(
            {.argv = {"/usr/bin/python3", dir / "check.py", dir / "run.json"}, .dir = dir.path()});
        ASSERT_TRUE(check.finish());
        ASSERT_EQ(check.exit_code(), 0) << check.err();
        EXPECT_EQ(check.out(), expected(model_of(files))) << files.front();
    }
}

// The export is checked before the command runs, and one that cannot be
// written whole is not left behind.
TEST(Perfetto, RefusesWhereItCannotWrite)
{
    TempDir dir;
    Process nowhere({.argv = {BIN_SYSCALL_TIMELINE, "--perfetto", dir / "no/such/run.json",
                              std::string(TRACE_FIXTURES) + "/date_handoff/01-date_handoff.trace"},
                     .dir = dir.path()});
    ASSERT_TRUE(nowhere.finish());
    EXPECT_EQ(nowhere.exit_code(), 1);
    EXPECT_EQ(nowhere.err(),
              "syscall_timeline: " + (dir / "no/such/run.json") + ": No such file or directory\n");
    Process full({.argv = {BIN_SYSCALL_TIMELINE, "--perfetto", "/dev/full",
                           std::string(TRACE_FIXTURES) + "/date_handoff/01-date_handoff.trace"},
                  .dir = dir.path()});
    ASSERT_TRUE(full.finish());
    EXPECT_EQ(full.exit_code(), 1);
    EXPECT_EQ(full.err(), "syscall_timeline: /dev/full: No space left on device\n");
}

// A long trace is exported as it is read, in memory that does not grow
// with it: 200,000 steps under a limit of 40 MB of data (the reading
// thread's and the writing thread's stacks among it). Under a limit too
// small for any thread, the tool writes without one, the export whole.
TEST(Perfetto, LongTraceExportsInBoundedMemory)
{
    if (kSanitizedBuild)
        GTEST_SKIP() << "a sanitizer's shadow memory needs more than any small limit";
    TempDir dir;
    std::string trace = "7 1000.000000 execve(\"/bin/copy\", [\"copy\"], 0x0) = 0 <0.0001>\n";
    for (int i = 0; i < 100000; ++i) {
        std::string data = std::string("abcdefg").substr(0, size_t(i % 7 + 1));
        std::string n = std::to_string(data.size());
        std::string time = "1000." + std::to_string(100000 + i);
        trace += "7 " + time + " read(3<pipe:[11]>, \"" + data + "\", 64) = " + n + " <0.000001>\n";
        trace += "7 " + time + " write(4<pipe:[12]>, \"" + data + "\", " + n + ") = " + n +
                 " <0.000001>\n";
    }
    write_file(dir / "long.trace", trace);
    write_file(dir / "short.trace", trace.substr(0, 2000));
    write_file(dir / "count.py", "import json, sys\n"
                                 "events = json.load(open(sys.argv[1]))['traceEvents']\n"
                                 "print(sum(e['ph'] == 'X' for e in events))\n");
    auto limited = [](rlim_t bytes) {
        return [bytes] {
            rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_DATA, &limit);
        };
    };
    const std::pair<std::string, rlim_t> runs[] = {{"long", rlim_t(40) << 20},
                                                   {"short", rlim_t(4) << 20}};
    for (const auto& [name, bytes] : runs) {
        Process tool({.argv = {BIN_SYSCALL_TIMELINE, "--perfetto", dir / (name + ".json"),
                               dir / (name + ".trace")},
                      .dir = dir.path(),
                      .before_exec = limited(bytes)});
        ASSERT_TRUE(tool.finish(60s)) << name;
        EXPECT_EQ(tool.exit_code(), 0) << name << ": " << tool.err();
        Process count({.argv = {"/usr/bin/python3", dir / "count.py", dir / (name + ".json")},
                       .dir = dir.path()});
        ASSERT_TRUE(count.finish(60s));
        EXPECT_EQ(count.exit_code(), 0) << count.err();
        // Every step (its start, the reads and writes; "still running" is
        // told by its life), and the process's life.
        if (name == "long")
            EXPECT_EQ(count.out(), std::to_string(200001 + 1) + "\n");
        else
            EXPECT_GT(std::stoi(count.out()), 10) << count.out();
    }
}

// The arguments Perfetto's UI shows under a slice are named in the
// learner's language, and each still holds its value: a step's source
// line, a process's parent.
TEST(Perfetto, ArgumentsAreNamedInTheLearnersLanguage)
{
    TempDir dir;
    const std::pair<const char*, std::pair<const char*, const char*>> languages[] = {
        {"es", {"{\"línea\":\"echo_five.cpp:12\"}", "{\"padre\":6,\"pid\":7}"}},
        {"en", {"{\"line\":\"echo_five.cpp:12\"}", "{\"parent\":6,\"pid\":7}"}}};
    for (const auto& [language, args] : languages) {
        timeline::choose_language(language);
        ASSERT_EQ(timeline::language(), language);
        std::string path = dir / (std::string(language) + ".json");
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        {
            timeline::TraceEvents events(file);
            events.slice(7, 7, 10, 5, "read", "echo_five.cpp:12");
            events.life(7, 7, 0, 20, "alive", 6);
            EXPECT_TRUE(events.finish());
        }
        ASSERT_EQ(std::fclose(file), 0);
        std::string json = read_file(path);
        EXPECT_NE(json.find("\"args\":" + std::string(args.first)), std::string::npos) << json;
        EXPECT_NE(json.find("\"args\":" + std::string(args.second)), std::string::npos) << json;
    }
}
