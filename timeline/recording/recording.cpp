#include "recording/recording.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/language.hpp"
#include "base/paths.hpp"
#include "reader/source_lines.hpp"

namespace timeline {
namespace {

namespace fs = std::filesystem;

// What the reader expects: every process (-f), times since the epoch
// (-ttt), each call's duration (-T), descriptors with their targets and,
// for a socket, the one it is connected to (-yy), no attach notes (-q),
// and 200 bytes of each string: a lesson's lines whole.
constexpr std::array<const char*, 7> kStraceOptions = {"-f", "-ttt", "-T", "-yy",
                                                       "-q", "-s",   "200"};

// Where a command's program is, as execvp finds it; "" when nowhere.
std::string find_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

bool in_path(const std::string& name)
{
    return !find_program(name).empty();
}

// quick_stacks.so, beside the tool in a build, in the package's folder
// once installed; "" when neither has it.
std::string quick_stacks()
{
    std::error_code error;
    fs::path here = fs::read_symlink("/proc/self/exe", error).parent_path();
    for (const auto& candidate :
         {here / "quick_stacks.so", here / TIMELINE_HELPERS / "quick_stacks.so"})
        if (access(candidate.c_str(), R_OK) == 0)
            return fs::weakly_canonical(candidate, error).string();
    return "";
}

// The words that load quick_stacks.so into strace alone: the command
// gets the LD_PRELOAD it was given, or none.
std::vector<std::string> with_quick_stacks(std::vector<std::string> argv)
{
    std::string library = quick_stacks();
    if (library.empty())
        return argv;
    const char* given = std::getenv("LD_PRELOAD");
    std::string preload = "LD_PRELOAD=" + library;
    std::string restore = "LD_PRELOAD";
    if (given != nullptr) {
        preload += std::string(":") + given;
        restore += std::string("=") + given;
    }
    argv.insert(argv.begin() + 1, {"-E", restore});
    argv.insert(argv.begin(), {"env", preload});
    return argv;
}

// Runs strace on /bin/true: its status, and what it said on standard error.
int probe(std::string& errors)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == -1)
        return -1;
    pid_t pid = fork();
    if (pid == -1)
        return -1;
    if (pid == 0) {
        dup2(fds[1], 2);
        int null = ::open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execlp("strace", "strace", "-o", "/dev/null", "/bin/true", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;)
        if (n > 0)
            errors.append(buf, size_t(n));
        else if (errno != EINTR)
            break;
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            return -1;
    return status;
}

} // namespace

std::string tracing_refused()
{
    if (!in_path("strace"))
        return tr("strace is not installed; install it with: apt-get install strace");
    std::string errors;
    int status = probe(errors);
    if (status == 0)
        return "";
    return fill(tr("tracing is refused here: {1}"), {errors.substr(0, errors.find('\n'))});
}

std::vector<std::string> strace_command(const std::string& trace,
                                        const std::vector<std::string>& command, bool interruptible,
                                        bool lines)
{
    std::vector<std::string> argv = {"strace"};
    argv.insert(argv.end(), kStraceOptions.begin(), kStraceOptions.end());
    // The stack of each call (-k) tells which line of the program made it,
    // so only a program with debug information is traced so: a lesson,
    // not ls or ps traced alone. quick_stacks.so makes the stacks cheap,
    // above all those of the programs it becomes.
    bool stacks = lines && !command.empty() && SourceLines::can_tell(find_program(command[0]));
    if (stacks)
        argv.emplace_back("-k");
    if (interruptible)
        argv.emplace_back("-I1");
    argv.insert(argv.end(), {"-o", trace, "--"});
    argv.insert(argv.end(), command.begin(), command.end());
    return stacks ? with_quick_stacks(std::move(argv)) : argv;
}

void check_command(const std::string& name)
{
    std::string found = find_program(name);
    if (name.find('/') != std::string::npos && access(name.c_str(), F_OK) != 0)
        found.clear();
    if (found.empty())
        throw RecordingError(fill(tr("{1}: command not found"), {name}), 127);
    if (access(found.c_str(), X_OK) != 0 || fs::is_directory(found))
        throw RecordingError(fill(tr("{1}: cannot be run: {2}"), {name, std::strerror(EACCES)}),
                             126);
    if (auto why = tracing_refused(); !why.empty())
        throw RecordingError(why, 1);
}

void exec(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    leave_language();
    execvp(args[0], args.data());
    throw RecordingError(argv[0] + ": " + std::strerror(errno), 127);
}

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
        throw RecordingError(std::string("fork: ") + std::strerror(errno), 1);
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        exec(argv);
    }
    siginfo_t end{};
    while (waitid(P_PID, id_t(pid), &end, WEXITED) == -1)
        if (errno != EINTR)
            throw RecordingError(std::string("waitid: ") + std::strerror(errno), 1);
    return end.si_code == CLD_EXITED ? end.si_status : 128 + end.si_status;
}

std::string new_trace_file(const std::string& dir, const std::string& command)
{
    std::string program(base_name(command));
    // The folder is made as mkdir -p would, with its parents.
    std::error_code made;
    fs::create_directories(dir, made);
    if (made)
        throw std::system_error(made, dir);
    for (int n = 1;; ++n) {
        char number[16];
        (void)std::snprintf(number, sizeof number, "%02d-", n);
        std::string path = (fs::path(dir) / (number + program + ".trace")).string();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd != -1) {
            close(fd);
            return path;
        }
        if (errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), dir);
    }
}

void keep_recording_facts(const std::string& dir, const std::vector<std::string>& command)
{
    std::error_code here_error;
    std::string here = fs::current_path(here_error).string();
    for (const auto& [name, text] :
         {std::pair<const char*, std::string>{"command", command_line(command)},
          {"sources", here}}) {
        std::string path = (fs::path(dir) / name).string();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd == -1) {
            if (errno == EEXIST)
                continue; // the folder's first recording said it
            throw std::system_error(errno, std::generic_category(), path);
        }
        std::string line = text + "\n";
        bool whole = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
        int error = errno;
        ::close(fd);
        if (!whole)
            throw std::system_error(error, std::generic_category(), path);
    }
}

std::string command_line(const std::vector<std::string>& command)
{
    std::string line;
    for (const std::string& word : command) {
        if (!line.empty())
            line += ' ';
        bool plain =
            !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                    "0123456789_-./=:,+@%") == std::string::npos;
        if (plain) {
            line += word;
            continue;
        }
        line += '\'';
        for (char c : word)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

} // namespace timeline
