// family_watch: one process family as it changes, for the second terminal
// beside a lesson, or on one terminal with the command in a pane below.
//   family_watch PID            that process and its descendants, live
//   family_watch --once PID     one snapshot as plain text
//   family_watch -- COMMAND     the command on a terminal of its own
// Nothing is traced and no descriptor of the family is held: the watcher
// reads /proc (and, for a process asleep in an open, the path it opens,
// from its memory), woken by the kernel's process events about the family
// where it may listen. Its layers, one way down: procfs and events, the
// family, the words, the screen; main wires them.
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/language.hpp"
#include "base/safe_text.hpp"
#include "events.hpp"
#include "family.hpp"
#include "screen.hpp"
#include "words.hpp"

namespace {

using namespace family;

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void usage()
{
    (void)std::fputs(timeline::tr("usage: family_watch PID          watch a process and its "
                                  "descendants\n"
                                  "       family_watch --once PID   print one snapshot and end\n"
                                  "       family_watch -- COMMAND [ARGS...]\n"
                                  "                                 run COMMAND on a terminal of "
                                  "its own,\n"
                                  "                                 its output in a pane below "
                                  "the family\n"
                                  "       (--lang en|es first: the language it speaks)\n"
                                  "Keys: q quits (with a command: F10, or q once it has ended; "
                                  "every\n"
                                  "other key goes to the command, Ctrl-C too).\n"),
                     stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

[[noreturn]] void fail(const std::string& what, int status = 1)
{
    (void)std::fprintf(stderr, "family_watch: %s\n", what.c_str());
    std::exit(status);
}

// A wrong command line is one line, which points to the whole usage.
[[noreturn]] void usage_error(const std::string& what)
{
    fail(timeline::fill(timeline::tr("{1} (see family_watch --help)"), {what}), 2);
}

// A process to watch: there, and readable.
int checked_pid(const std::string& text)
{
    char* end = nullptr;
    long pid = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || pid <= 0 || pid > 4194304)
        usage_error(timeline::fill(timeline::tr("not a process id: {1}"), {text}));
    int error = 0;
    auto p = read_process(int(pid), &error);
    if (!p)
        fail(error == EACCES ? timeline::fill(timeline::tr("process {1} cannot be read: {2}"),
                                              {text, std::strerror(error)})
                             : timeline::fill(timeline::tr("no process {1}"), {text}));
    if (!p->fds_readable && kill(int(pid), 0) == -1 && errno == EPERM)
        fail(timeline::fill(
            timeline::tr("process {1} is another user's: its descriptors cannot be read"), {text}));
    return int(pid);
}

// Whether the command can be run: a path to a program it may execute, or a
// name found along PATH, as execvp would find it.
bool runnable(const std::string& command)
{
    if (command.find('/') != std::string::npos)
        return access(command.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        std::string dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (access(((dir.empty() ? "." : dir) + "/" + command).c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return false;
}

// The live view: the family read again when one of its processes forks,
// execs or ends, and every `interval` for what no event tells (a call it
// sleeps in, a descriptor, a child collected); drawn when its words change.
class Live {
public:
    Live(int root, int master, pid_t command) : family_(root), master_(master), command_(command) {}
    int run();

private:
    void read_family();
    void collect_command();
    bool wait(); // false once the terminal is gone
    bool keys(); // false to quit

    Family family_;
    ProcEvents events_;
    Pane pane_;
    int master_;
    pid_t command_;
    std::string how_;
    bool utf8_ = true;
    bool ended_ = false;
    bool quit_ = false;
    bool keys_ = true; // some may have come
    std::vector<Line> shown_;
    double interval_ = 0.1;
    double last_read_ = 0;
    bool reread_ = true;
    bool redraw_ = true;
};

int Live::run()
{
    how_ = events_.listening()
               ? timeline::tr("live, woken by the kernel's process events")
               : timeline::fill(timeline::tr("live, reading /proc every 100 ms (process events "
                                             "refused: {1})"),
                                {events_.refused()});
    utf8_ = utf8_locale();
    initscr();
    if (command_ > 0)
        raw(); // Ctrl-C is the command's
    else
        cbreak();
    noecho();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    while (true) {
        if (reread_ || now_seconds() - last_read_ >= interval_)
            read_family();
        collect_command();
        if (redraw_) {
            draw(shown_, command_ > 0 ? &pane_ : nullptr,
                 command_ > 0
                     ? (ended_ ? timeline::tr("q quits")
                               : timeline::tr("F10 quits; what you type goes to the command"))
                     : timeline::tr("q quits"),
                 utf8_);
            redraw_ = false;
        }
        if (!wait() || !keys())
            break;
    }
    endwin();
    if (quit_ && command_ > 0 && !ended_)
        kill(command_, SIGHUP);
    return 0;
}

void Live::read_family()
{
    double now = now_seconds();
    family_.refresh(now);
    events_.only(family_.pids());
    // A large family is read less often, so that the watcher stays light;
    // the screen still follows within a few tenths.
    interval_ = std::max(0.1, 40 * (now_seconds() - now));
    last_read_ = now;
    reread_ = false;
    // Branches in ASCII, each drawn over in the terminal's line characters.
    auto lines = snapshot(family_, now, how_, false);
    if (lines.size() != shown_.size() ||
        !std::equal(lines.begin(), lines.end(), shown_.begin(), [](const Line& a, const Line& b) {
            return a.text == b.text && a.gone == b.gone;
        }))
        redraw_ = true;
    shown_ = std::move(lines);
}

// The command, our child: collected once it has been shown as a zombie, so
// that its status is told.
void Live::collect_command()
{
    if (command_ <= 0 || ended_)
        return;
    const Member* m = family_.find(command_);
    int status = 0;
    if ((m && m->info.state != 'Z') || waitpid(command_, &status, WNOHANG) != command_)
        return;
    ended_ = true;
    pane_.say(WIFEXITED(status) ? "[the command ended with status " +
                                      std::to_string(WEXITSTATUS(status)) + "; q quits]"
                                : "[the command was killed by signal " +
                                      std::to_string(WTERMSIG(status)) + "; q quits]");
    redraw_ = true;
}

bool Live::wait()
{
    pollfd fds[3] = {{0, POLLIN, 0}, {events_.fd(), POLLIN, 0}, {master_, POLLIN, 0}};
    int wait_ms = int(std::max(1.0, (interval_ - (now_seconds() - last_read_)) * 1000));
    int ready = poll(fds, 3, wait_ms);
    if (ready == -1 && errno != EINTR)
        return false;
    // Keys are asked for only when some came, or a signal (a new size).
    keys_ = ready == -1 || fds[0].revents & POLLIN;
    // The terminal is gone: nothing to draw on, and no key will come.
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        return false;
    if (fds[1].revents & POLLIN) {
        // Every process of the machine is told of: one outside the family
        // costs a look at its id, not a read of /proc.
        auto concerned = events_.drain();
        reread_ = reread_ || concerned.lost ||
                  std::any_of(concerned.pids.begin(), concerned.pids.end(),
                              [&](int pid) { return family_.has(pid); });
    }
    if (master_ != -1 && fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0)
            pane_.add(buf, size_t(n));
        else
            master_ = -1; // the command's terminal is closed: EIO
        redraw_ = true;
    }
    return true;
}

bool Live::keys()
{
    if (!keys_)
        return true;
    for (int key; (key = getch()) != ERR;) {
        if (key == KEY_RESIZE) {
            redraw_ = true;
        } else if (key == KEY_F(10) || ((command_ <= 0 || ended_) && key == 'q')) {
            quit_ = true;
            return false;
        } else if (master_ != -1 && key < 256) {
            char c = char(key);
            (void)!write(master_, &c, 1);
        } else if (master_ != -1 && key == KEY_ENTER) {
            (void)!write(master_, "\r", 1);
        } else if (master_ != -1 && key == KEY_BACKSPACE) {
            (void)!write(master_, "\177", 1);
        }
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // --lang LANGUAGE: the language it speaks, whatever the locale; the
    // characters it draws with are the locale's.
    if (!timeline::choose_language_from(args, true))
        usage_error(timeline::tr("--lang takes en or es"));
    if (args.empty())
        usage_error(timeline::tr("which process? give its PID, or -- COMMAND"));
    if (args[0] == "--help" || args[0] == "-h")
        usage();
    if (args[0] == "--once") {
        if (args.size() != 2)
            usage_error(timeline::tr("--once takes one PID"));
        int pid = checked_pid(args[1]);
        family::Family family(pid);
        double now = now_seconds();
        family.refresh(now);
        // Box-drawing branches, and letters with their marks, where the
        // locale's characters are UTF-8.
        bool utf8 = utf8_locale();
        for (const auto& line : family::snapshot(family, now, timeline::tr("a snapshot"), utf8)) {
            std::string text = line.text + (line.gone ? timeline::tr(" (gone)") : "");
            std::printf("%s\n", (utf8 ? text : timeline::ascii_text(text)).c_str());
        }
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    if (args[0] == "--" && args.size() < 2)
        usage_error(timeline::tr("no command after --"));
    if (args[0] == "--" && !runnable(args[1]))
        fail(timeline::fill(timeline::tr("cannot run {1}: {2}"), {args[1], std::strerror(ENOENT)}),
             127);
    if (args[0] != "--" && args.size() != 1)
        usage_error(timeline::tr("one PID only, or -- COMMAND"));
    int pid = args[0] == "--" ? 0 : checked_pid(args[0]);
    if (!isatty(0) || !isatty(1))
        fail(timeline::tr("the live view needs a terminal; --once prints one snapshot"), 2);
    if (args[0] == "--") {
        winsize size{};
        ioctl(1, TIOCGWINSZ, &size);
        size.ws_row = size.ws_row > 6 ? size.ws_row / 3 - 1 : 4;
        int master = -1;
        pid_t child = forkpty(&master, nullptr, nullptr, &size);
        if (child == -1)
            fail(std::string("forkpty: ") + std::strerror(errno));
        if (child == 0) {
            std::vector<char*> command;
            for (size_t i = 1; i < args.size(); ++i)
                command.push_back(args[i].data());
            command.push_back(nullptr);
            timeline::leave_language();
            execvp(command[0], command.data());
            _exit(127);
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        return Live(child, master, child).run();
    }
    return Live(pid, -1, 0).run();
}
