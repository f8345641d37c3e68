#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// In a forked child: report and leave without running the test's cleanups.
[[noreturn]] void child_fail(const char* what)
{
    (void)dprintf(2, "harness: %s: %s\n", what, std::strerror(errno));
    _exit(127);
}

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads what is there; false at end of data (a terminal master reports the
// end, once every slave holder is gone, as EIO).
bool read_some(int fd, std::string& into)
{
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n == -1 && errno == EINTR;
}

void close_fd(int& fd)
{
    if (fd != -1)
        close(fd);
    fd = -1;
}

// Runs in the child: the program's own process group, its working folder,
// its standard streams, default signal actions; then exec.
[[noreturn]] void exec_program(const Options& options, int in, int out, int err)
{
    if (dup2(in, 0) == -1 || dup2(out, 1) == -1 || dup2(err, 2) == -1)
        child_fail("dup2");
    close_range(3, ~0U, 0); // the program starts with its three streams alone
    if (!options.dir.empty() && chdir(options.dir.c_str()) == -1)
        child_fail("chdir");
    (void)signal(SIGPIPE, SIG_DFL);
    if (options.before_exec)
        options.before_exec();

    std::vector<char*> argv;
    for (const auto& arg : options.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Ours, less what the options set anew.
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view name(*e, std::strcspn(*e, "="));
        if (std::none_of(options.env.begin(), options.env.end(), [&](const std::string& set) {
                return set.size() > name.size() && set.compare(0, name.size(), name) == 0 &&
                       set[name.size()] == '=';
            }))
            envp.push_back(*e);
    }
    for (const auto& e : options.env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    child_fail(argv[0]);
}

} // namespace

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lesson.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        fail("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view name) const
{
    return path_ + "/" + std::string(name);
}

Process::Process(Options options) : terminal_(options.terminal)
{
    if (options.argv.empty())
        throw std::invalid_argument("Process: no program");
    (void)signal(SIGPIPE, SIG_IGN); // our writes to a gone program's input fail instead

    int in = -1;
    if (options.input) {
        const std::string& text = *options.input;
        in = memfd_create("input", MFD_CLOEXEC);
        if (in == -1 || write(in, text.data(), text.size()) == -1 || lseek(in, 0, SEEK_SET) == -1)
            fail("memfd");
    } else {
        int p[2];
        if (pipe2(p, O_CLOEXEC) == -1)
            fail("pipe");
        in = p[0];
        input_fd_ = p[1];
    }
    int errp[2];
    if (pipe2(errp, O_CLOEXEC) == -1)
        fail("pipe");
    err_fd_ = errp[0];

    if (!terminal_) {
        int outp[2];
        if (options.output_file.empty()) {
            if (pipe2(outp, O_CLOEXEC) == -1)
                fail("pipe");
            out_fd_ = outp[0];
        } else {
            outp[1] =
                open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (outp[1] == -1)
                fail(options.output_file);
        }
        pid_ = fork();
        if (pid_ == -1)
            fail("fork");
        if (pid_ == 0) {
            setpgid(0, 0);
            exec_program(options, in, outp[1], errp[1]);
        }
        setpgid(pid_, pid_); // also here, so that it holds before we go on
        close(outp[1]);
        // Readable once the program has ended. (Debian 12's <sys/pidfd.h> is
        // not usable from C++: it lacks the C linkage.)
        status_fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (status_fd_ == -1)
            fail("pidfd_open");
    } else {
        // A raw terminal: no line end translation, no echo.
        out_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out_fd_ == -1 || grantpt(out_fd_) == -1 || unlockpt(out_fd_) == -1)
            fail("posix_openpt");
        std::string slave = ptsname(out_fd_);
        int s = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (s == -1 || tcgetattr(s, &tio) == -1)
            fail("terminal");
        cfmakeraw(&tio);
        if (tcsetattr(s, TCSANOW, &tio) == -1)
            fail("tcsetattr");
        close(s);

        int report[2];
        if (pipe2(report, O_CLOEXEC) == -1)
            fail("pipe");
        status_fd_ = report[0];
        leader_ = fork();
        if (leader_ == -1)
            fail("fork");
        if (leader_ == 0) {
            // The session leader, as a shell is: it owns the terminal and
            // outlives the program, so that the end of the program does not
            // hang up the program's children.
            setsid();
            int tty = open(slave.c_str(), O_RDWR);
            if (tty == -1 || ioctl(tty, TIOCSCTTY, 0) == -1)
                child_fail("controlling terminal");
            if (dup2(in, 0) == -1 || dup2(tty, 1) == -1 || dup2(errp[1], 2) == -1 ||
                dup2(report[1], 3) == -1)
                child_fail("dup2");
            close_range(4, ~0U, 0); // nothing of the test's own stays open here
            pid_t program = fork();
            if (program == -1)
                child_fail("fork");
            if (program == 0) {
                close(3);
                setpgid(0, 0);
                // Into the terminal's foreground, as a shell's job.
                (void)signal(SIGTTOU, SIG_IGN);
                tcsetpgrp(1, getpid());
                (void)signal(SIGTTOU, SIG_DFL);
                exec_program(options, 0, 1, 2);
            }
            setpgid(program, program);
            // Our reader closes the terminal once the program's output has
            // ended, which hangs it up: that must not end us before we report.
            (void)signal(SIGHUP, SIG_IGN);
            if (write(3, &program, sizeof program) != sizeof program)
                _exit(127);
            close(0);
            close(1);
            close(2);
            int status = 0;
            while (waitpid(program, &status, 0) == -1 && errno == EINTR) {
            }
            if (write(3, &status, sizeof status) != sizeof status)
                _exit(127);
            for (;;)
                pause(); // until the test ends and kills it
        }
        close(report[1]);
        pollfd pfd{status_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1 || read(status_fd_, &pid_, sizeof pid_) != sizeof pid_)
            fail("session leader");
    }
    close(in);
    close(errp[1]);
}

Process::~Process()
{
    if (pid_ > 0)
        kill(-pid_, SIGKILL);
    if (leader_ > 0) {
        kill(leader_, SIGKILL);
        waitpid(leader_, nullptr, 0);
    } else if (pid_ > 0 && !ended_) {
        waitpid(pid_, nullptr, 0);
    }
    // Children that the program left behind and that were adopted by us.
    auto deadline = Clock::now() + 2s;
    while (pid_ > 0 && Clock::now() < deadline) {
        pid_t r = waitpid(-pid_, nullptr, WNOHANG);
        if (r == -1 && errno != EINTR)
            break;
        if (r == 0)
            std::this_thread::sleep_for(5ms);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
    close_fd(status_fd_);
    close_fd(input_fd_);
}

void Process::note_status()
{
    if (!terminal_) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            ended_ = true;
    } else if (read(status_fd_, &status_, sizeof status_) == sizeof status_) {
        ended_ = true;
    } else {
        throw std::runtime_error("the session leader ended before the program");
    }
    if (ended_)
        close_fd(status_fd_);
}

bool Process::pump(const std::function<bool()>& done, Duration timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {status_fd_, POLLIN, 0}};
        int r = poll(fds, 3, remaining_ms(deadline));
        if (r == -1 && errno != EINTR)
            fail("poll");
        if (r == 0)
            return done();
        if (fds[0].revents != 0 && !read_some(out_fd_, out_))
            close_fd(out_fd_);
        if (fds[1].revents != 0 && !read_some(err_fd_, err_))
            close_fd(err_fd_);
        if (fds[2].revents != 0)
            note_status();
    }
    return true;
}

bool Process::wait_for_output(std::string_view text, Duration timeout)
{
    pump([&] { return out_.find(text) != std::string::npos || out_fd_ == -1; }, timeout);
    return out_.find(text) != std::string::npos;
}

bool Process::wait_exit(Duration timeout)
{
    if (!pump([&] { return ended_; }, timeout))
        return false;
    // What the program wrote before it ended may still be on its way
    // through a terminal.
    collect(terminal_ ? 100ms : 0ms);
    return true;
}

bool Process::finish(Duration timeout)
{
    return pump([&] { return ended_ && out_fd_ == -1 && err_fd_ == -1; }, timeout);
}

void Process::collect(Duration span)
{
    auto deadline = Clock::now() + span;
    while (out_fd_ != -1 || err_fd_ != -1) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        int r = poll(fds, 2, remaining_ms(deadline));
        if (r == -1 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        if (fds[0].revents != 0 && !read_some(out_fd_, out_))
            close_fd(out_fd_);
        if (fds[1].revents != 0 && !read_some(err_fd_, err_))
            close_fd(err_fd_);
    }
}

int Process::exit_code() const
{
    return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Process::term_signal() const
{
    return ended_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

void Process::write_input(std::string_view text)
{
    if (input_fd_ == -1 || write(input_fd_, text.data(), text.size()) != ssize_t(text.size()))
        fail("write_input");
}

void Process::close_input()
{
    close_fd(input_fd_);
}

void Process::signal_group(int sig) const
{
    kill(-pid_, sig);
}

bool eventually(const std::function<bool()>& condition, Duration timeout)
{
    auto deadline = Clock::now() + timeout;
    auto pause = 1ms;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<Duration>(pause * 2, 100ms);
    }
    return true;
}

std::optional<ProcStat> proc_stat(pid_t pid)
{
    std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name, in parentheses, may hold blanks: read after it.
    auto close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(text.substr(close + 1));
    ProcStat st{};
    if (!(rest >> st.state >> st.ppid >> st.pgrp))
        return std::nullopt;
    return st;
}

long proc_io(pid_t pid, const std::string& field)
{
    std::istringstream io(read_file("/proc/" + std::to_string(pid) + "/io"));
    std::string name;
    long value = 0;
    while (io >> name >> value)
        if (name == field + ":")
            return value;
    return -1;
}

std::vector<pid_t> children(pid_t pid)
{
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t candidate = std::stoi(name);
        auto st = proc_stat(candidate);
        if (st && st->ppid == pid)
            found.push_back(candidate);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::pair<int, std::string>> open_fds(pid_t pid)
{
    std::vector<std::pair<int, std::string>> fds;
    std::error_code ec;
    std::filesystem::directory_iterator dir("/proc/" + std::to_string(pid) + "/fd", ec);
    for (; !ec && dir != std::filesystem::directory_iterator(); dir.increment(ec)) {
        auto target = std::filesystem::read_symlink(dir->path(), ec);
        if (!ec)
            fds.emplace_back(std::stoi(dir->path().filename().string()), target.string());
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, std::string_view content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> fake_time(const std::string& setting)
{
    return {"LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
            "FAKETIME=" + setting};
}

void expect_fork_failure_reported(const std::string& program, const std::string& name)
{
    TempDir dir;
    Process p(
        {.argv = {"/usr/bin/fiu-run", "-x", "-f", "", "-c", "enable name=posix/proc/fork", program},
         .dir = dir.path(),
         .input = "1 2 3 4 5\n",
         // In a sanitizer build: libfiu's own start-up leaks a string.
         .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    ASSERT_TRUE(p.finish()) << name;
    EXPECT_EQ(p.out(), "") << name;
    EXPECT_TRUE(std::regex_match(p.err(), std::regex(name + ": fork: .+\n"))) << p.err();
    EXPECT_EQ(p.exit_code(), 1) << name;
}

namespace {

std::vector<std::string> split_list(const std::string& text)
{
    std::vector<std::string> items;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ':');)
        items.push_back(item);
    return items;
}

} // namespace

std::vector<std::string> all_programs()
{
    return split_list(ALL_PROGRAMS);
}

std::vector<std::string> lesson_names()
{
    return split_list(LESSONS);
}

} // namespace harness
