// syscall_timeline: shows the system calls of a run as a timeline of text
// and, with --svg, as a sequence diagram. It runs a command under
// `strace -f`, or reads trace files made that way (several traces of one
// run, such as a server and its clients traced apart, are merged by time),
// or records a command's trace into a folder for later.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "book.hpp"
#include "read_ahead.hpp"
#include "recording.hpp"
#include "render.hpp"
#include "run.hpp"
#include "source_lines.hpp"
#include "trace_reader.hpp"

namespace {

namespace fs = std::filesystem;
using namespace timeline;

constexpr char kUsage[] =
    "usage: syscall_timeline [--source] [--no-lines] [--svg FILE] [--plumbing DIR]\n"
    "                        [--title TEXT] -- COMMAND [ARG...]\n"
    "       syscall_timeline [--source] [--svg FILE] [--plumbing DIR] [--title TEXT] TRACE...\n"
    "       syscall_timeline --record DIR [--no-lines] -- COMMAND [ARG...]\n"
    "       syscall_timeline --book PAGE LESSON_DIR...\n"
    "       syscall_timeline --can-trace\n"
    "\n"
    "Runs COMMAND under strace -f, or reads TRACE files written by\n"
    "  strace -f -ttt -T -yy -o TRACE COMMAND (or -y)\n"
    "and prints its system calls as a timeline: one line per step, in time\n"
    "order, with the process that took it and, for a program built with -g,\n"
    "the line of its source that made the call (a COMMAND is traced with\n"
    "strace -k when its program has debug information). --source prints\n"
    "the program's source instead, each line followed by the calls it made.\n"
    "--no-lines traces without the stacks, which cost a few milliseconds a\n"
    "call: a program that becomes ps, say, is traced much faster.\n"
    "--svg FILE also draws the run as\n"
    "a sequence diagram. --plumbing DIR draws each process's descriptor\n"
    "table at each moment that changed it, as DIR/plumbing-NN.svg.\n"
    "--record runs COMMAND traced, writes its trace into\n"
    "DIR (as NN-PROGRAM.trace) and ends with COMMAND's status; SIGTERM stops\n"
    "the recording cleanly. --book writes one page of lessons, each\n"
    "LESSON_DIR holding a file `command`, a file `output`, its `*.trace`\n"
    "files and, if it has them, its notes (`notes.md`). --can-trace says whether strace can trace "
    "here, and why not.\n";

[[noreturn]] void fail(const std::string& message, int status = 1)
{
    (void)std::fprintf(stderr, "syscall_timeline: %s\n", message.c_str());
    std::exit(status);
}

[[noreturn]] void usage_error(const std::string& message)
{
    (void)std::fprintf(stderr, "syscall_timeline: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

bool is_fifo(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// The program that a command names, searched in PATH as a shell would; a
// command that cannot be started ends the tool as it ends a shell.
void check_command(const std::string& name)
{
    std::string found;
    if (name.find('/') != std::string::npos) {
        if (access(name.c_str(), F_OK) == 0)
            found = name;
    } else {
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string dir; found.empty() && std::getline(dirs, dir, ':');) {
            std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0)
                found = candidate;
        }
    }
    if (found.empty())
        fail(name + ": command not found", 127);
    if (access(found.c_str(), X_OK) != 0 || fs::is_directory(found))
        fail(name + ": cannot be run: " + std::strerror(EACCES), 126);
    if (auto why = tracing_refused(); !why.empty())
        fail(why);
}

[[noreturn]] void exec(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fail(argv[0] + ": " + std::strerror(errno), 127);
}

// Runs the command traced into `trace`; its status as a shell gives it.
// The tool ignores Ctrl-C while it waits, so that Ctrl-C stops the
// command and the timeline of what ran still comes; the child gets the
// default actions back before it starts strace.
int run_traced(const std::string& trace, const std::vector<std::string>& command, bool lines)
{
    auto argv = strace_command(trace, command, false, lines);
    struct sigaction ignore {
    }, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    pid_t pid = fork();
    if (pid == -1)
        fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        exec(argv);
    }
    siginfo_t end{};
    while (waitid(P_PID, id_t(pid), &end, WEXITED) == -1)
        if (errno != EINTR)
            fail(std::string("waitid: ") + std::strerror(errno));
    return end.si_code == CLD_EXITED ? end.si_status : 128 + end.si_status;
}

// strace -ff names each process's file after its pid: "run.trace.2994".
int pid_in_name(const std::string& file)
{
    std::string name = fs::path(file).filename().string();
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size() ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return 0;
    return std::atoi(name.c_str() + dot + 1);
}

// The run of these traces, its steps told to `text` as they come; the
// first `keep` of them stay for a diagram.
Run read_run(const std::vector<std::string>& files, size_t keep, TextTimeline& text)
{
    Run run(is_fifo, keep,
            [&text](const Run& r, size_t index, const Step& step) { text.add(r, index, step); });
    auto lines = std::make_shared<SourceLines>();
    run.set_source_of([lines](const std::vector<Frame>& frames) { return lines->of(frames); });
    MergedTraces traces;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const auto& file : files) {
        struct stat st {};
        if (stat(file.c_str(), &st) == -1)
            fail(file + ": " + std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            fail(file + ": is a directory");
        std::pair id{st.st_dev, st.st_ino};
        if (std::find(seen.begin(), seen.end(), id) != seen.end()) {
            (void)std::fprintf(stderr, "syscall_timeline: %s: given twice, read once\n",
                               file.c_str());
            continue;
        }
        seen.push_back(id);
        auto in = std::make_unique<std::ifstream>(file, std::ios::binary);
        if (!*in)
            fail(file + ": " + std::strerror(errno));
        traces.add(std::move(in), file, pid_in_name(file));
    }
    ReadAhead events(traces);
    while (auto event = events.next())
        run.add(*event);
    run.finish();
    text.finish(run);
    return run;
}

// An output file that could not be written is known before the command
// runs, not after.
void check_writable(const std::string& path)
{
    fs::path parent = fs::path(path).parent_path();
    std::string folder = parent.empty() ? "." : parent.string();
    if (!fs::is_directory(folder))
        fail(path + ": " + std::strerror(ENOENT));
    if (fs::is_directory(path))
        fail(path + ": is a directory");
    if (access(folder.c_str(), W_OK) == -1)
        fail(path + ": " + std::strerror(errno));
}

// A folder for figures: there already, or one that can be made when they
// are written (nothing is made for a run that fails).
void check_folder(const std::string& path)
{
    if (!fs::is_directory(path))
        check_writable(path);
    else if (access(path.c_str(), W_OK) == -1)
        fail(path + ": " + std::strerror(errno));
}

// Writes a whole file. One cut short (a full disk) is removed, so that
// nothing half written is left looking complete.
void write_file(const std::string& path, const std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        fail(path + ": " + std::strerror(errno));
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            (void)std::remove(path.c_str());
        fail(path + ": " + std::strerror(error));
    }
}

// What went to standard output must have arrived.
void check_output()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fail(std::string("write error: ") + std::strerror(errno != 0 ? errno : EIO));
}

// The descriptor tables at each moment that changed them, one figure each:
// those of the first run, when the program ran again (its tables are
// drawn alike).
std::vector<std::string> figures(const Run& run, const std::string& title)
{
    // A moment whose tables look like an earlier one's (the classifier
    // with its next writer) is drawn once.
    std::vector<const PlumbingMoment*> moments;
    std::vector<std::string> seen;
    for (const auto& moment : run.plumbing()) {
        if (run.runs() > 1 && run.process(moment.pid)->run != 1)
            continue;
        std::string shape = std::to_string(int(moment.change));
        for (const auto& table : moment.processes) {
            shape += table.zombie ? "|z" : "|";
            for (const auto& entry : table.fds)
                shape +=
                    std::to_string(entry.fd) + entry.what + std::to_string(int(entry.end)) + ",";
        }
        if (std::find(seen.begin(), seen.end(), shape) != seen.end())
            continue;
        seen.push_back(shape);
        moments.push_back(&moment);
    }
    std::string heading = title + ": the descriptor tables" +
                          (run.runs() > 1 ? " of run 1 (the other runs' are alike)" : "") + ", ";
    std::string count = " of " + std::to_string(moments.size());
    std::vector<std::string> svgs;
    for (size_t i = 0; i < moments.size(); ++i) {
        std::string figure_title = heading;
        figure_title += std::to_string(i + 1);
        figure_title += count;
        svgs.push_back(plumbing_svg(*moments[i], figure_title));
    }
    return svgs;
}

// DIR/plumbing-01.svg, ...; those an earlier run left beyond these go, so
// that the folder holds one run's figures.
void write_figures(const std::string& dir, const std::vector<std::string>& svgs)
{
    if (mkdir(dir.c_str(), 0777) == -1 && errno != EEXIST)
        fail(dir + ": " + std::strerror(errno));
    auto name = [&](size_t n) {
        std::string number = std::to_string(n);
        return (fs::path(dir) /
                ("plumbing-" + std::string(number.size() < 2 ? 1 : 0, '0') + number + ".svg"))
            .string();
    };
    for (size_t i = 0; i < svgs.size(); ++i)
        write_file(name(i + 1), svgs[i]);
    for (size_t n = svgs.size() + 1; fs::is_regular_file(name(n)); ++n)
        fs::remove(name(n));
}

std::vector<std::string> trace_files(const fs::path& dir)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".trace")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_whole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int book(const std::string& page, const std::vector<std::string>& dirs)
{
    std::vector<Lesson> lessons;
    for (const auto& dir : dirs) {
        fs::path path(dir);
        if (path.filename().empty())
            path = path.parent_path();
        Lesson lesson;
        lesson.name = path.filename().string();
        std::ifstream command(path / "command");
        std::getline(command, lesson.command);
        lesson.output = read_whole(path / "output");
        if (fs::is_regular_file(path / "notes.md"))
            lesson.notes = read_whole(path / "notes.md");
        auto files = trace_files(path);
        if (files.empty())
            fail(dir + ": no trace in it");
        TextTimeline text(lesson.name, [&](std::string_view part) { lesson.timeline += part; });
        Run run = read_run(files, kDiagramRows, text);
        lesson.diagram = svg_diagram(run, lesson.name);
        lesson.figures = figures(run, lesson.name);
        read_lesson_run(lesson, run);
        write_figures(path.string(), lesson.figures);
        write_file((path / "diagram.svg").string(), lesson.diagram);
        lessons.push_back(std::move(lesson));
    }
    write_file(page, lesson_book(lessons));
    return 0;
}

struct Options {
    std::string svg;
    std::string plumbing; // a folder for the descriptor figures
    std::string title;
    std::string record; // the folder
    bool source = false; // the source with its calls, instead of the timeline
    bool lines = true; // trace with stacks, for the source lines
    std::vector<std::string> files;
    std::vector<std::string> command;
};

Options parse(const std::vector<std::string>& args)
{
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        if (a == "--svg" || a == "--title" || a == "--record" || a == "--plumbing") {
            if (!has_value)
                usage_error(a + " needs a value");
            (a == "--svg"        ? o.svg
             : a == "--title"    ? o.title
             : a == "--plumbing" ? o.plumbing
                                 : o.record) = args[++i];
        } else if (a == "--source") {
            o.source = true;
        } else if (a == "--no-lines") {
            o.lines = false;
        } else if (a == "--") {
            o.command.assign(args.begin() + long(i) + 1, args.end());
            if (o.command.empty())
                usage_error("no command after --");
            break;
        } else if (!a.empty() && a[0] == '-') {
            usage_error("unknown option: " + a);
        } else {
            o.files.push_back(a);
        }
    }
    if (o.files.empty() == o.command.empty())
        usage_error(o.files.empty() ? "nothing to show: give a command or traces"
                                    : "give a command or traces, not both");
    if (!o.record.empty() && o.command.empty())
        usage_error("--record needs a command after --");
    return o;
}

// --record: the command traced into a new file in the folder, ending as
// the command ends (strace passes its status on).
[[noreturn]] void record(const Options& o)
{
    check_command(o.command[0]);
    std::string trace;
    try {
        trace = new_trace_file(o.record, o.command[0]);
    } catch (const std::system_error& e) {
        fail(e.what());
    }
    exec(strace_command(trace, o.command, true, o.lines));
}

int show(Options o)
{
    int status = 0;
    fs::path temp;
    if (!o.svg.empty())
        check_writable(o.svg);
    if (!o.plumbing.empty())
        check_folder(o.plumbing);
    if (!o.command.empty()) {
        check_command(o.command[0]);
        char name[] = "/tmp/syscall_timeline.XXXXXX";
        if (!mkdtemp(name))
            fail(std::string("temporary folder: ") + std::strerror(errno));
        temp = name;
        o.files = {(temp / "run.trace").string()};
        status = run_traced(o.files[0], o.command, o.lines);
        if (o.title.empty())
            o.title = o.command[0];
    } else if (o.title.empty()) {
        o.title = fs::path(o.files[0]).filename().string();
    }
    try {
        TextTimeline text(o.title, [&o](std::string_view part) {
            if (!o.source)
                (void)std::fwrite(part.data(), 1, part.size(), stdout);
        });
        bool drawn = !o.svg.empty() || !o.plumbing.empty();
        Run run = read_run(o.files, o.source ? Run::kStepsHeld : drawn ? kDiagramRows : 0, text);
        if (!temp.empty())
            fs::remove_all(temp);
        if (o.source)
            (void)std::fputs(source_text(run, o.title).c_str(), stdout);
        check_output();
        if (!o.svg.empty())
            write_file(o.svg, svg_diagram(run, o.title));
        if (!o.plumbing.empty())
            write_figures(o.plumbing, figures(run, o.title));
    } catch (const TraceError& e) {
        if (!temp.empty())
            fs::remove_all(temp);
        fail(e.what());
    }
    return status;
}

int run(const std::vector<std::string>& args)
{
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        (void)std::fputs(kUsage, stdout);
        check_output();
        return 0;
    }
    if (args.size() == 1 && args[0] == "--can-trace") {
        if (auto why = tracing_refused(); !why.empty())
            fail(why);
        return 0;
    }
    if (!args.empty() && args[0] == "--book") {
        if (args.size() < 3)
            usage_error("--book needs a page and lesson folders");
        try {
            return book(args[1], {args.begin() + 2, args.end()});
        } catch (const TraceError& e) {
            fail(e.what());
        }
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
        return run({argv + 1, argv + argc});
    } catch (const std::bad_alloc&) {
        fail("out of memory");
    }
}
