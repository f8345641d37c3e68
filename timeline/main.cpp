// syscall_timeline: shows the system calls of a run as a timeline of text
// and, with --svg, as a sequence diagram. It runs a command under
// `strace -f`, or reads trace files made that way (several traces of one
// run, such as a server and its clients traced apart, are merged by time).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "book.hpp"
#include "render.hpp"
#include "run.hpp"
#include "trace_reader.hpp"

namespace {

namespace fs = std::filesystem;
using namespace timeline;

constexpr char kUsage[] =
    "usage: syscall_timeline [--svg FILE] [--title TEXT] -- COMMAND [ARG...]\n"
    "       syscall_timeline [--svg FILE] [--title TEXT] TRACE...\n"
    "       syscall_timeline --book PAGE LESSON_DIR...\n"
    "\n"
    "Runs COMMAND under strace -f, or reads TRACE files written by\n"
    "  strace -f -ttt -T -y -o TRACE COMMAND\n"
    "and prints its system calls as a timeline: one line per step, in time\n"
    "order, with the process that took it. --svg FILE also draws the run as\n"
    "a sequence diagram. --book writes one page of lessons, each LESSON_DIR\n"
    "holding a file `command`, a file `output` and its `*.trace` files.\n";

// The options strace is run with; the reader expects what they write.
constexpr std::array<const char*, 7> kStraceOptions = {"-f", "-ttt", "-T", "-y", "-q", "-s", "48"};

[[noreturn]] void fail(const std::string& message, int status = 1)
{
    std::cerr << "syscall_timeline: " << message << "\n";
    std::exit(status);
}

bool is_fifo(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// The program that a command names, searched in PATH as a shell would;
// "" when there is none.
std::string find_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), F_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// Runs a command and returns its wait status; its standard error, when
// `errors` is given, is collected there.
int run_command(const std::vector<std::string>& argv, std::string* errors = nullptr)
{
    int pipefd[2] = {-1, -1};
    if (errors && pipe(pipefd) == -1)
        fail(std::string("pipe: ") + std::strerror(errno));
    pid_t pid = fork();
    if (pid == -1)
        fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (errors) {
            dup2(pipefd[1], 2);
            close(pipefd[0]);
            close(pipefd[1]);
        }
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (errors) {
        close(pipefd[1]);
        char buf[4096];
        for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) != 0;)
            if (n > 0)
                errors->append(buf, size_t(n));
            else if (errno != EINTR)
                break;
        close(pipefd[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            fail(std::string("waitpid: ") + std::strerror(errno));
    return status;
}

// strace must be there and allowed to trace; says why not otherwise.
void check_tracing()
{
    if (find_program("strace").empty())
        fail("strace is not installed; install it with: apt-get install strace");
    std::string errors;
    int status = run_command({"strace", "-o", "/dev/null", "/bin/true"}, &errors);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string first = errors.substr(0, errors.find('\n'));
        fail("tracing is refused here: " + first);
    }
}

Run read_run(const std::vector<std::string>& files)
{
    Run run(is_fifo);
    MergedTraces traces;
    for (const auto& file : files) {
        auto in = std::make_unique<std::ifstream>(file, std::ios::binary);
        if (!*in)
            fail(file + ": " + std::strerror(errno));
        traces.add(std::move(in), file);
    }
    while (auto event = traces.next())
        run.add(*event);
    run.finish();
    return run;
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush())
        fail(path + ": " + std::strerror(errno));
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

int book(const std::string& page, const std::vector<std::string>& dirs)
{
    std::vector<Lesson> lessons;
    for (const auto& dir : dirs) {
        fs::path path(dir);
        if (path.filename().empty())
            path = path.parent_path();
        Lesson lesson;
        lesson.name = path.filename().string();
        std::ifstream command(path / "command"), output(path / "output", std::ios::binary);
        std::getline(command, lesson.command);
        std::ostringstream text;
        text << output.rdbuf();
        lesson.output = text.str();
        auto files = trace_files(path);
        if (files.empty())
            fail(dir + ": no trace in it");
        Run run = read_run(files);
        lesson.timeline = text_timeline(run, lesson.name);
        lesson.diagram = svg_diagram(run, lesson.name);
        write_file((path / "diagram.svg").string(), lesson.diagram);
        lessons.push_back(std::move(lesson));
    }
    write_file(page, lesson_book(lessons));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string svg;
    std::string title;
    std::vector<std::string> files;
    std::vector<std::string> command;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--book") {
            if (i + 2 >= args.size() + 1 || i + 1 >= args.size())
                fail("--book needs a page and lesson folders", 2);
            try {
                return book(args[i + 1], {args.begin() + long(i) + 2, args.end()});
            } catch (const TraceError& e) {
                fail(e.what());
            }
        }
        if ((a == "--svg" || a == "--title") && i + 1 < args.size()) {
            (a == "--svg" ? svg : title) = args[++i];
        } else if (a == "--") {
            command.assign(args.begin() + long(i) + 1, args.end());
            break;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << kUsage;
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty() == command.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    int status = 0;
    std::string temp;
    if (!command.empty()) {
        // As a shell would: a command that cannot be started ends with 127.
        std::string program = find_program(command[0]);
        if (program.empty())
            fail(command[0] + ": command not found", 127);
        if (access(program.c_str(), X_OK) != 0 || fs::is_directory(program))
            fail(command[0] + ": cannot be run: " + std::strerror(EACCES), 126);
        check_tracing();
        char name[] = "/tmp/syscall_timeline.XXXXXX";
        int fd = mkstemp(name);
        if (fd == -1)
            fail(std::string("temporary file: ") + std::strerror(errno));
        close(fd);
        temp = name;
        std::vector<std::string> strace = {"strace"};
        strace.insert(strace.end(), kStraceOptions.begin(), kStraceOptions.end());
        strace.insert(strace.end(), {"-o", temp, "--"});
        strace.insert(strace.end(), command.begin(), command.end());
        // Ctrl-C is for the command; the timeline comes after it.
        (void)std::signal(SIGINT, SIG_IGN);
        (void)std::signal(SIGQUIT, SIG_IGN);
        int wait_status = run_command(strace);
        status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        files = {temp};
        if (title.empty())
            title = command[0];
    } else if (title.empty()) {
        title = fs::path(files[0]).filename().string();
    }

    try {
        Run run = read_run(files);
        if (!temp.empty())
            (void)std::remove(temp.c_str());
        std::cout << text_timeline(run, title);
        if (!svg.empty())
            write_file(svg, svg_diagram(run, title));
    } catch (const TraceError& e) {
        if (!temp.empty())
            (void)std::remove(temp.c_str());
        fail(e.what());
    }
    return status;
}
