// syscall_timeline: shows the system calls of a run as a timeline of text
// and, as the command line asks, in other views: a sequence diagram, the
// descriptor tables, the source with each line's calls, a Perfetto trace.
// It runs a command under `strace -f`, or reads trace files made that way
// (several traces of one run, such as a server and its clients traced
// apart, are merged by time), or records a command's trace into a folder
// for later, or makes the lesson book. Here the layers are wired: the
// reader's events go to the model, which feeds the views chosen.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/language.hpp"
#include "base/paths.hpp"
#include "commands.hpp"
#include "files.hpp"
#include "recording/recording.hpp"
#include "session.hpp"
#include "views/perfetto.hpp"
#include "views/plumbing_figure.hpp"
#include "views/source_view.hpp"
#include "views/steps_json.hpp"
#include "views/svg_diagram.hpp"
#include "views/text_timeline.hpp"
#include "views/world_json.hpp"

namespace {

namespace fs = std::filesystem;
using namespace timeline;
using files::fail;

// Where a view's output goes, and what it writes there at the end.
struct Place {
    std::string path; // its FILE or DIR; "" for one that needs none
    std::string title;
    StepWords* words = nullptr; // shared by the views that stream the steps
    std::string command; // the command the tool ran, if it ran one
};

// The views that write a file, or standard output, once the run is read.
struct SvgFile : StepSink {
    Place place;
    explicit SvgFile(Place p) : place(std::move(p)) {}
    void finish(const Run& run) override
    {
        files::write_file(place.path, svg_diagram(run, place.title));
    }
};

struct PlumbingFolder : StepSink {
    Place place;
    explicit PlumbingFolder(Place p) : place(std::move(p)) {}
    void finish(const Run& run) override
    {
        files::write_figures(place.path, plumbing_figures(run, place.title));
    }
};

struct SourceText : StepSink {
    Place place;
    explicit SourceText(Place p) : place(std::move(p)) {}
    void finish(const Run& run) override
    {
        (void)std::fputs(source_text(run, place.title).c_str(), stdout);
    }
};

template <class View> std::unique_ptr<StepSink> make(const Place& place)
{
    return std::make_unique<View>(place);
}

// The views a command line may ask for, besides the timeline: its flag,
// what it takes, how many of the first steps it needs the model to keep
// (0: it takes the steps as they come), and how it is made.
struct ViewRow {
    std::string_view flag;
    std::string_view argument; // "FILE", "DIR", or "" for none
    size_t keeps;
    std::string_view help;
    std::unique_ptr<StepSink> (*make)(const Place& place);
};

constexpr ViewRow kViews[] = {
    {"--svg", "FILE", kDiagramRows, N_("the run as a sequence diagram"), make<SvgFile>},
    {"--plumbing", "DIR", kDiagramRows,
     N_("each process's descriptor table at each moment that changed it, as "
        "DIR/plumbing-NN.svg"),
     make<PlumbingFolder>},
    {"--perfetto", "FILE", 0,
     N_("the run in the Trace Event Format (JSON) that Perfetto's UI (ui.perfetto.dev) and "
        "chrome://tracing open: a track per process and thread, a slice per step, flows for "
        "forks, bytes, waits and signals"),
     [](const Place& p) { return perfetto_file(p.path, p.words); }},
    {"--steps", "FILE", 0,
     N_("each step as a line of JSON: its process, its words, its times, its error and the "
        "trace lines it was made from (file number and first and last line), for checking it "
        "against the trace"),
     [](const Place& p) -> std::unique_ptr<StepSink> {
         return std::make_unique<StepsJson>(p.path, p.words);
     }},
    {"--world", "FILE", Run::kKeepAll,
     N_("the world after each step that changed it, as lines of JSON: each process's "
        "descriptors, the open file descriptions they point at and what those are open on, for "
        "checking it against the kernel"),
     [](const Place& p) -> std::unique_ptr<StepSink> {
         return std::make_unique<WorldJson>(p.path);
     }},
    {"--html", "FILE", kDiagramRows,
     N_("the run on a page of its own, like a lesson of the book: a player to step through "
        "it, the source with the calls of each line, the figures, the diagram and the timeline"),
     [](const Place& p) { return html_page(p.path, p.title, p.command); }},
    {"--source", "", Run::kStepsHeld,
     N_("the program's source instead of the timeline, each line followed by the calls it "
        "made"),
     make<SourceText>},
};

const ViewRow* view_row(std::string_view flag)
{
    auto it = std::find_if(std::begin(kViews), std::end(kViews),
                           [&](const ViewRow& row) { return row.flag == flag; });
    return it == std::end(kViews) ? nullptr : &*it;
}

std::string usage()
{
    std::string views;
    std::string list;
    for (const ViewRow& row : kViews) {
        std::string flag =
            std::string(row.flag) + (row.argument.empty() ? "" : " ") + std::string(row.argument);
        views += " [" + flag + "]";
        list += "  " + flag + std::string(flag.size() < 16 ? 16 - flag.size() : 1, ' ');
        list += std::string(tr(row.help.data())) + "\n";
    }
    // TRANSLATORS: {1} is the list of views' options, {2} what each does.
    return fill(tr("usage: syscall_timeline{1} [--title TEXT] [--no-lines]\n"
                   "                        -- COMMAND [ARG...]\n"
                   "       syscall_timeline{1} [--title TEXT] TRACE...\n"
                   "       syscall_timeline --record DIR [--no-lines] -- COMMAND [ARG...]\n"
                   "       syscall_timeline --book PAGE LESSON_DIR...\n"
                   "       syscall_timeline --can-trace\n"
                   "       (--lang en|es before any of them: the language it speaks)\n"
                   "\n"
                   "Runs COMMAND under strace -f, or reads TRACE files written by\n"
                   "  strace -f -ttt -T -yy -o TRACE COMMAND (or -y)\n"
                   "and prints its system calls as a timeline: one line per step, in time\n"
                   "order, with the process that took it and, for a program built with -g,\n"
                   "the line of its source that made the call (a COMMAND is traced with\n"
                   "strace -k when its program has debug information). Each view also shows\n"
                   "the run another way:\n"
                   "{2}"
                   "--no-lines traces without the stacks, which cost a few milliseconds a\n"
                   "call: a program that becomes ps, say, is traced much faster. --record\n"
                   "runs COMMAND traced, writes its trace into DIR (as NN-PROGRAM.trace) and\n"
                   "ends with COMMAND's status; SIGTERM stops the recording cleanly. --book\n"
                   "writes one page of lessons, each LESSON_DIR holding a file `command`, a\n"
                   "file `output`, its `*.trace` files and, if it has them, its notes\n"
                   "(`notes.md`). --can-trace says whether strace can trace here, and why\n"
                   "not.\n"),
                {views, list});
}

// A wrong command line is one line, which points to the whole usage.
[[noreturn]] void usage_error(const std::string& message)
{
    (void)std::fprintf(stderr, "syscall_timeline: %s\n",
                       fill(tr("{1} (see syscall_timeline --help)"), {message}).c_str());
    std::exit(2);
}

struct Options {
    std::string title;
    std::string record; // the folder
    bool lines = true; // trace with stacks, for the source lines
    std::vector<std::pair<const ViewRow*, std::string>> views; // and each one's argument
    std::vector<std::string> files;
    std::vector<std::string> command;
};

Options parse(const std::vector<std::string>& args)
{
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        const ViewRow* view = view_row(a);
        if (view || a == "--title" || a == "--record") {
            bool valued = !view || !view->argument.empty();
            if (valued && !has_value)
                usage_error(fill(tr("{1} needs a value"), {a}));
            std::string value = valued ? args[++i] : "";
            if (view)
                o.views.emplace_back(view, value);
            else
                (a == "--title" ? o.title : o.record) = value;
        } else if (a == "--no-lines") {
            o.lines = false;
        } else if (a == "--") {
            o.command.assign(args.begin() + long(i) + 1, args.end());
            if (o.command.empty())
                usage_error(tr("no command after --"));
            break;
        } else if (!a.empty() && a[0] == '-') {
            usage_error(fill(tr("unknown option: {1}"), {a}));
        } else {
            o.files.push_back(a);
        }
    }
    if (o.files.empty() == o.command.empty())
        usage_error(o.files.empty() ? tr("nothing to show: give a command or traces")
                                    : tr("give a command or traces, not both"));
    if (!o.record.empty() && o.command.empty())
        usage_error(tr("--record needs a command after --"));
    return o;
}

bool asks_for(const Options& o, std::string_view flag)
{
    return std::any_of(o.views.begin(), o.views.end(),
                       [&](const auto& view) { return view.first->flag == flag; });
}

// The views the options ask for: the timeline on standard output (unless
// the source view replaces it), then each view asked for, in its order.
std::vector<std::unique_ptr<StepSink>> views_of(const Options& o, StepWords& words, size_t& keep)
{
    std::vector<std::unique_ptr<StepSink>> views;
    keep = 0;
    if (!asks_for(o, "--source"))
        views.push_back(std::make_unique<TextTimeline>(
            o.title,
            [](std::string_view part) { (void)std::fwrite(part.data(), 1, part.size(), stdout); },
            &words));
    for (const auto& [row, argument] : o.views) {
        views.push_back(row->make({argument, o.title, &words, command_line(o.command)}));
        keep = std::max(keep, row->keeps);
    }
    return views;
}

// What a view writes into must be there before the command runs.
void check_places(const Options& o)
{
    for (const auto& [row, argument] : o.views) {
        if (row->argument == "FILE")
            files::check_writable(argument);
        else if (row->argument == "DIR")
            files::check_folder(argument);
    }
}

// --record: the command traced into a new file in the folder, ending as
// the command ends (strace passes its status on).
[[noreturn]] void record(const Options& o)
{
    check_command(o.command[0]);
    std::string trace;
    try {
        trace = new_trace_file(o.record, o.command[0]);
        keep_recording_facts(o.record, o.command);
    } catch (const std::system_error& e) {
        fail(e.what());
    }
    exec(strace_command(trace, o.command, true, o.lines));
}

// The command run traced, or the traces read, into the views asked for.
int show(Options o)
{
    int status = 0;
    check_places(o);
    fs::path temp;
    if (!o.command.empty()) {
        check_command(o.command[0]);
        char name[] = "/tmp/syscall_timeline.XXXXXX";
        if (!mkdtemp(name))
            fail(fill(tr("temporary folder: {1}"), {std::strerror(errno)}));
        temp = name;
        o.files = {(temp / "run.trace").string()};
        status = run_traced(o.files[0], o.command, o.lines);
        if (o.title.empty())
            o.title = o.command[0];
    } else if (o.title.empty()) {
        o.title = base_name(o.files[0]);
    }
    try {
        size_t keep = 0;
        StepWords words;
        auto views = views_of(o, words, keep);
        Run run(files::is_fifo, keep);
        for (auto& view : views)
            run.add_sink(*view);
        tell_source_lines(run);
        MergedTraces traces;
        files::open_traces(traces, o.files);
        // Open, the trace reads on without its folder, which goes now: a
        // view that cannot write its file stops the tool with nothing left.
        if (!temp.empty())
            fs::remove_all(temp);
        read_traces(traces, run);
        if (!o.command.empty() && run.cut_after_thread_exec())
            (void)std::fprintf(stderr, "syscall_timeline: %s\n", tr(kCutAfterThreadExec));
    } catch (const TraceError& e) {
        if (!temp.empty())
            fs::remove_all(temp);
        std::error_code ignored; // a streamed view's file of a refused run goes
        for (const auto& [row, argument] : o.views)
            if (row->keeps == 0)
                fs::remove(argument, ignored);
        fail(e.what());
    }
    files::check_output();
    return status;
}

int dispatch(const std::vector<std::string>& args)
{
    if (args.size() == 1 && args[0] == "--version") {
#ifdef TIMELINE_VERSION
        (void)std::puts("syscall_timeline (process-lessons) " TIMELINE_VERSION);
#else
        (void)std::puts("syscall_timeline (process-lessons)");
#endif
        files::check_output();
        return 0;
    }
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        (void)std::fputs(usage().c_str(), stdout);
        files::check_output();
        return 0;
    }
    if (args.size() == 1 && args[0] == "--can-trace") {
        if (auto why = tracing_refused(); !why.empty())
            fail(why);
        return 0;
    }
    if (!args.empty() && args[0] == "--book") {
        if (args.size() < 3)
            usage_error(tr("--book needs a page and lesson folders"));
        return write_book(args[1], {args.begin() + 2, args.end()});
    }
    Options options = parse(args);
    if (!options.record.empty())
        record(options);
    return show(std::move(options));
}

} // namespace

int main(int argc, char** argv)
{
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        if (!choose_language_from(args))
            usage_error(tr("--lang takes en or es"));
        return dispatch(args);
    } catch (const TraceError& e) {
        fail(e.what());
    } catch (const RecordingError& e) {
        fail(e.what(), e.status);
    } catch (const std::bad_alloc&) {
        fail(tr("out of memory"));
    } catch (const std::system_error& e) { // a folder or file the system refused
        fail(e.what());
    }
}
