// family_watch: one process family as it changes, for the second terminal
// beside a lesson, or on one terminal with the command in a pane below.
//   family_watch PID            that process and its descendants, live
//   family_watch --once PID     one snapshot as plain text
//   family_watch -- COMMAND     the command on a terminal of its own
// Nothing is traced and no descriptor of the family is held: the watcher
// reads /proc, woken by the kernel's process events where it may listen.
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "events.hpp"
#include "family.hpp"
#include "views/wording.hpp"
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
    (void)std::fputs("usage: family_watch PID          watch a process and its descendants\n"
                     "       family_watch --once PID   print one snapshot and end\n"
                     "       family_watch -- COMMAND [ARGS...]\n"
                     "                                 run COMMAND on a terminal of its own,\n"
                     "                                 its output in a pane below the family\n"
                     "Keys: q quits (with a command: F10, or q once it has ended; every\n"
                     "other key goes to the command, Ctrl-C too).\n",
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
    fail(what + " (see family_watch --help)", 2);
}

// A process to watch: there, and readable.
int checked_pid(const std::string& text)
{
    char* end = nullptr;
    long pid = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || pid <= 0 || pid > 4194304)
        usage_error("not a process id: " + text);
    int error = 0;
    auto p = read_process(int(pid), &error);
    if (!p)
        fail(error == EACCES ? "process " + text + " cannot be read: " + std::strerror(error)
                             : "no process " + text);
    if (!p->fds_readable && kill(int(pid), 0) == -1 && errno == EPERM)
        fail("process " + text + " is another user's: its descriptors cannot be read");
    return int(pid);
}

// What a command wrote on its terminal, as lines: enough of a terminal for
// the lessons (new lines, carriage returns, backspaces; other control
// sequences are left out).
class Pane {
public:
    void add(const char* data, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            char c = data[i];
            if (escape_ > 0) { // ESC [ ... final byte
                escape_ = (escape_ == 1 && c != '[') || (c >= 0x40 && c <= 0x7e && escape_ > 1)
                              ? 0
                              : escape_ + 1;
                continue;
            }
            if (c == '\033')
                escape_ = 1;
            else if (c == '\n')
                new_line();
            else if (c == '\r')
                column_ = 0;
            else if (c == '\b')
                column_ = column_ > 0 ? column_ - 1 : 0;
            else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                put(c);
        }
    }
    void say(const std::string& text)
    {
        if (column_ > 0 || !lines_.back().empty())
            new_line();
        lines_.back() = text;
        new_line();
    }
    const std::deque<std::string>& lines() const { return lines_; }

private:
    void new_line()
    {
        lines_.emplace_back();
        column_ = 0;
        if (lines_.size() > 500)
            lines_.pop_front();
    }
    void put(char c)
    {
        std::string& line = lines_.back();
        if (column_ < line.size())
            line[column_] = c;
        else
            line.push_back(c);
        ++column_;
    }
    std::deque<std::string> lines_{std::string()};
    size_t column_ = 0;
    int escape_ = 0;
};

// A line as struck through: each character followed by U+0336.
std::string struck(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        bool last_byte =
            i + 1 == text.size() || (static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80;
        if (last_byte && text[i] != ' ')
            out += "\xcc\xb6";
    }
    return out;
}

void draw(const std::vector<Line>& lines, const Pane* pane, const std::string& help)
{
    erase();
    int rows = LINES;
    int cols = COLS;
    int pane_rows = pane ? std::max(3, rows / 3) : 0;
    int tree_rows = rows - pane_rows - 1;
    for (int i = 0; i < int(lines.size()) && i < tree_rows; ++i) {
        const Line& l = lines[size_t(i)];
        std::string text = timeline::fit(l.text, size_t(std::max(1, cols - 1)));
        attr_t a = l.heading ? A_BOLD : l.gone ? A_DIM : A_NORMAL;
        attron(a);
        mvaddstr(i, 0, (l.gone ? struck(text) : text).c_str());
        attroff(a);
    }
    if (pane) {
        int top = rows - pane_rows - 1;
        attron(A_REVERSE);
        mvhline(top, 0, ' ', cols);
        mvaddstr(top, 1, "the command's terminal");
        attroff(A_REVERSE);
        const auto& out = pane->lines();
        size_t first = out.size() > size_t(pane_rows - 1) ? out.size() - size_t(pane_rows - 1) : 0;
        for (size_t i = first; i < out.size(); ++i)
            mvaddstr(top + 1 + int(i - first), 0,
                     timeline::fit(out[i], size_t(std::max(1, cols - 1))).c_str());
    }
    attron(A_DIM);
    mvaddstr(rows - 1, 0, timeline::fit(help, size_t(std::max(1, cols - 1))).c_str());
    attroff(A_DIM);
    refresh();
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

int watch(int root, int master, pid_t command)
{
    Family family(root);
    ProcEvents events;
    std::string how = events.listening() ? "live, woken by the kernel's process events"
                                         : "live, reading /proc every 100 ms (process events "
                                           "refused: " +
                                               events.refused() + ")";
    std::setlocale(LC_ALL, "");
    initscr();
    if (command > 0)
        raw(); // Ctrl-C is the command's
    else
        cbreak();
    noecho();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    Pane pane;
    bool ended = false;
    int status = 0;
    std::vector<Line> shown;
    double interval = 0.1;
    double last_read = 0;
    bool redraw = true;
    while (true) {
        double now = now_seconds();
        if (now - last_read >= interval || redraw) {
            double began = now_seconds();
            family.refresh(now);
            // A large family is read less often, so that the watcher stays
            // light; the screen still follows within a few tenths.
            interval = std::max(0.1, 40 * (now_seconds() - began));
            last_read = now;
            auto lines = snapshot(family, now, how);
            if (lines.size() != shown.size() ||
                !std::equal(lines.begin(), lines.end(), shown.begin(),
                            [](const Line& a, const Line& b) {
                                return a.text == b.text && a.gone == b.gone;
                            }))
                redraw = true;
            shown = std::move(lines);
        }
        // The command, our child: collected once it has been shown as a
        // zombie, so that its status is told.
        if (command > 0 && !ended) {
            const Member* m = family.find(command);
            if (!m || m->info.state == 'Z') {
                if (waitpid(command, &status, WNOHANG) == command) {
                    ended = true;
                    pane.say(WIFEXITED(status)
                                 ? "[the command ended with status " +
                                       std::to_string(WEXITSTATUS(status)) + "; q quits]"
                                 : "[the command was killed by signal " +
                                       std::to_string(WTERMSIG(status)) + "; q quits]");
                    redraw = true;
                }
            }
        }
        if (redraw) {
            draw(shown, command > 0 ? &pane : nullptr,
                 command > 0 ? (ended ? "q quits" : "F10 quits; what you type goes to the command")
                             : "q quits");
            redraw = false;
        }
        pollfd fds[3] = {{0, POLLIN, 0}, {events.fd(), POLLIN, 0}, {master, POLLIN, 0}};
        int wait_ms = int(std::max(1.0, (interval - (now_seconds() - last_read)) * 1000));
        if (poll(fds, 3, wait_ms) == -1 && errno != EINTR)
            break;
        // The terminal is gone: nothing to draw on, and no key will come.
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            break;
        if (fds[1].revents & POLLIN && events.drain())
            redraw = true;
        if (master != -1 && fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                pane.add(buf, size_t(n));
            else
                master = -1; // the command's terminal is closed: EIO
            redraw = true;
        }
        for (int key; (key = getch()) != ERR;) {
            if (key == KEY_RESIZE) {
                redraw = true;
            } else if (key == KEY_F(10) || ((command <= 0 || ended) && key == 'q')) {
                endwin();
                if (command > 0 && !ended)
                    kill(command, SIGHUP);
                return 0;
            } else if (master != -1 && key < 256) {
                char c = char(key);
                (void)!write(master, &c, 1);
            } else if (master != -1 && (key == KEY_ENTER)) {
                (void)!write(master, "\r", 1);
            } else if (master != -1 && key == KEY_BACKSPACE) {
                (void)!write(master, "\177", 1);
            }
        }
    }
    endwin();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        usage_error("which process? give its PID, or -- COMMAND");
    if (args[0] == "--help" || args[0] == "-h")
        usage();
    if (args[0] == "--once") {
        if (args.size() != 2)
            usage_error("--once takes one PID");
        int pid = checked_pid(args[1]);
        family::Family family(pid);
        double now = now_seconds();
        family.refresh(now);
        for (const auto& line : family::snapshot(family, now, "a snapshot"))
            std::printf("%s%s\n", line.text.c_str(), line.gone ? " (gone)" : "");
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    if (args[0] == "--" && args.size() < 2)
        usage_error("no command after --");
    if (args[0] == "--" && !runnable(args[1]))
        fail("cannot run " + args[1] + ": " + std::strerror(ENOENT), 127);
    if (args[0] != "--" && args.size() != 1)
        usage_error("one PID only, or -- COMMAND");
    int pid = args[0] == "--" ? 0 : checked_pid(args[0]);
    if (!isatty(0) || !isatty(1))
        fail("the live view needs a terminal; --once prints one snapshot", 2);
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
            execvp(command[0], command.data());
            _exit(127);
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        return watch(child, master, child);
    }
    return watch(pid, -1, 0);
}
