#include "run.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>

namespace timeline {
namespace {

using namespace std::string_view_literals;

// The C library's and the loader's own work at start-up and in stdio:
// never part of a lesson, always hidden.
constexpr std::array kHousekeeping = {
    "brk"sv,
    "mmap"sv,
    "munmap"sv,
    "mprotect"sv,
    "mremap"sv,
    "madvise"sv,
    "arch_prctl"sv,
    "set_tid_address"sv,
    "set_robust_list"sv,
    "rseq"sv,
    "prlimit64"sv,
    "getrandom"sv,
    "access"sv,
    "faccessat"sv,
    "faccessat2"sv,
    "newfstatat"sv,
    "fstat"sv,
    "stat"sv,
    "lstat"sv,
    "statx"sv,
    "lseek"sv,
    "futex"sv,
    "rt_sigaction"sv,
    "rt_sigprocmask"sv,
    "rt_sigreturn"sv,
    "sigaltstack"sv,
    "getuid"sv,
    "geteuid"sv,
    "getgid"sv,
    "getegid"sv,
    "readlink"sv,
    "readlinkat"sv,
    "uname"sv,
    "sysinfo"sv,
    "gettid"sv,
    "clock_gettime"sv,
    "gettimeofday"sv,
    "time"sv,
    "sched_getaffinity"sv,
    "getcwd"sv,
};

// Files that the loader, the locale and the time zone read.
constexpr std::array kHiddenPaths = {
    "/etc/ld.so"sv,
    "/lib/"sv,
    "/lib64/"sv,
    "/usr/lib/"sv,
    "/usr/lib64/"sv,
    "/usr/share/zoneinfo"sv,
    "/etc/localtime"sv,
    "/usr/share/locale"sv,
    "/etc/nsswitch.conf"sv,
    "/etc/passwd"sv,
    "/etc/group"sv,
    "/proc/"sv,
    "/sys/"sv,
};

// Where system programs live: once one of them replaces a process's
// image, its own calls are counted, not shown.
constexpr std::array kSystemDirs = {"/usr/"sv, "/bin/"sv, "/sbin/"sv};

template <size_t N>
bool has_prefix(const std::array<std::string_view, N>& prefixes, std::string_view s)
{
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view p) { return s.substr(0, p.size()) == p; });
}

bool housekeeping(std::string_view name)
{
    return std::find(kHousekeeping.begin(), kHousekeeping.end(), name) != kHousekeeping.end();
}

std::string base_name(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string letter_name(int n)
{
    std::string name;
    for (++n; n > 0; n = (n - 1) / 26)
        name.insert(name.begin(), char('A' + (n - 1) % 26));
    return name;
}

// "tv_sec=1, tv_nsec=500000000" inside a timespec argument.
double timespec_seconds(std::string_view text)
{
    auto field = [&](std::string_view key) -> double {
        size_t at = text.find(key);
        if (at == std::string_view::npos)
            return 0;
        return std::strtod(std::string(text.substr(at + key.size())).c_str(), nullptr);
    };
    return field("tv_sec=") + field("tv_nsec=") / 1e9;
}

// "[{WIFEXITED(s) && WEXITSTATUS(s) == 3}]" -> "exited with status 3"
std::string wait_status(std::string_view text)
{
    size_t at = text.find("WEXITSTATUS(s) == ");
    if (at != std::string_view::npos)
        return "exited with status " +
               std::string(text.substr(at + 18, text.find('}', at) - at - 18));
    at = text.find("WTERMSIG(s) == ");
    if (at != std::string_view::npos) {
        std::string_view sig = text.substr(at + 15);
        return "killed by " + std::string(sig.substr(0, sig.find_first_of("} &")));
    }
    return "";
}

int siginfo_pid(std::string_view info)
{
    size_t at = info.find("si_pid=");
    return at == std::string_view::npos ? 0 : std::atoi(std::string(info.substr(at + 7)).c_str());
}

// A path as the process named it, made absolute with the folder that the
// descriptor argument before it names ("AT_FDCWD</tmp/x>").
std::string resolve(const std::string& folder_arg, const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    size_t lt = folder_arg.find('<');
    if (lt == std::string::npos || folder_arg.back() != '>')
        return path;
    return folder_arg.substr(lt + 1, folder_arg.size() - lt - 2) + "/" + path;
}

std::string open_mode(std::string_view flags)
{
    if (flags.find("O_RDWR") != std::string_view::npos)
        return "read/write";
    if (flags.find("O_WRONLY") != std::string_view::npos)
        return "write";
    return "read";
}

} // namespace

Run::Run(std::function<bool(const std::string&)> is_fifo) : is_fifo_(std::move(is_fifo)) {}

const Process* Run::process(int pid) const
{
    auto it = process_index_.find(pid);
    return it == process_index_.end() ? nullptr : &processes_[it->second];
}

Process& Run::process_for(int pid, double time)
{
    auto it = process_index_.find(pid);
    if (it != process_index_.end())
        return processes_[it->second];
    process_index_[pid] = processes_.size();
    Process& p = processes_.emplace_back();
    p.pid = pid;
    p.program = "pid " + std::to_string(pid);
    (void)time;
    return p;
}

size_t Run::add_step(Step step)
{
    Process& p = processes_[process_index_.at(step.pid)];
    steps_.push_back(std::move(step));
    p.fold = steps_.size() - 1;
    return steps_.size() - 1;
}

size_t Run::fold_or_add(Step step)
{
    Process& p = processes_[process_index_.at(step.pid)];
    if (p.fold) {
        Step& last = steps_[*p.fold];
        if (last.kind == step.kind && last.fd == step.fd && last.channel == step.channel &&
            last.bytes == step.bytes && last.error == step.error) {
            ++last.count;
            last.total += step.total;
            if (last.data.size() < kDataKept)
                last.data += step.data.substr(0, kDataKept - last.data.size());
            return *p.fold;
        }
    }
    return add_step(std::move(step));
}

std::optional<size_t> Run::channel_for(const std::string& target)
{
    if (target.empty())
        return std::nullopt;
    bool terminal = target.rfind("/dev/pts/", 0) == 0 || target.rfind("/dev/tty", 0) == 0 ||
                    target == "/dev/console";
    std::string key = terminal ? "terminal" : target;
    auto it = channel_by_target_.find(key);
    if (it != channel_by_target_.end())
        return it->second;

    Channel c;
    if (terminal) {
        c.kind = Channel::Kind::terminal;
        c.name = "the terminal";
    } else if (target.rfind("pipe:", 0) == 0) {
        c.kind = Channel::Kind::pipe;
        c.name = "a pipe from outside";
    } else if (target.front() != '/') {
        c.name = target; // socket:[...], anon_inode:...
    } else {
        c.path = target;
        c.name = target.rfind("/dev/", 0) == 0 ? target : base_name(target);
        c.kind = is_fifo_ && is_fifo_(target) ? Channel::Kind::fifo : Channel::Kind::file;
    }
    channels_.push_back(std::move(c));
    channel_by_target_[key] = channels_.size() - 1;
    return channels_.size() - 1;
}

std::optional<size_t> Run::fifo_channel(const std::string& path)
{
    auto c = channel_for(path);
    if (c)
        channels_[*c].kind = Channel::Kind::fifo;
    return c;
}

void Run::data_moved(size_t step, size_t channel, long long bytes, bool is_read)
{
    auto kind = channels_[channel].kind;
    if (kind != Channel::Kind::pipe && kind != Channel::Kind::fifo)
        return;
    auto& queue = unread_[channel];
    if (!is_read) {
        if (!queue.empty() && queue.back().first == step)
            queue.back().second += bytes;
        else
            queue.emplace_back(step, bytes);
        // A reader outside the trace never takes them: keep the memory bounded.
        if (queue.size() > 4096)
            queue.pop_front();
        return;
    }
    while (bytes > 0 && !queue.empty()) {
        auto& [from, left] = queue.front();
        long long taken = std::min(bytes, left);
        auto last = last_arrow_.find(channel);
        if (last != last_arrow_.end() && arrows_[last->second].from == from &&
            arrows_[last->second].to == step) {
            arrows_[last->second].bytes += taken;
        } else {
            arrows_.push_back({Arrow::Kind::data, from, step, taken, channel});
            last_arrow_[channel] = arrows_.size() - 1;
        }
        left -= taken;
        bytes -= taken;
        if (left == 0)
            queue.pop_front();
    }
}

void Run::add(const Event& e)
{
    if (!start_time_)
        start_time_ = e.time;
    double t = std::max(0.0, e.time - *start_time_);
    last_time_ = std::max(last_time_, e.time);
    Process& p = process_for(e.pid, t);

    switch (e.kind) {
    case Event::Kind::exited:
        end_process(p, t, "exited with status " + std::to_string(e.status), true);
        return;
    case Event::Kind::killed:
        end_process(p, t, "killed by " + e.name, false);
        return;
    case Event::Kind::signal: {
        Step s{.kind = Step::Kind::signal, .pid = p.pid, .time = t};
        s.text = e.name;
        s.other = siginfo_pid(e.info);
        add_step(std::move(s));
        return;
    }
    case Event::Kind::call:
        call(p, e, t);
        return;
    }
}

void Run::end_process(Process& p, double t, std::string how, bool exited)
{
    if (p.hidden) {
        Step s{.kind = Step::Kind::hidden_calls, .pid = p.pid, .time = t, .count = p.hidden_calls};
        s.text = p.program;
        add_step(std::move(s));
    }
    p.ended = t;
    bool has_exit_step = p.end_step && steps_[*p.end_step].kind == Step::Kind::exit;
    if (!exited || !has_exit_step) {
        Step s{.kind = Step::Kind::ended, .pid = p.pid, .time = t};
        s.text = std::move(how);
        p.end_step = add_step(std::move(s));
    }
}

void Run::call(Process& p, const Event& e, double t)
{
    const std::string& name = e.name;
    auto arg = [&](size_t i) -> const std::string& {
        static const std::string none;
        return i < e.args.size() ? e.args[i] : none;
    };
    Step s{.pid = p.pid, .time = t};
    s.error = e.error;

    if (name == "execve" || name == "execveat") {
        if (!e.finished)
            return;
        std::string path = unquote(arg(name == "execve" ? 0 : 1));
        if (e.value != 0 || !e.error.empty()) {
            s.kind = Step::Kind::exec_failed;
            s.text = path;
            add_step(std::move(s));
            return;
        }
        if (p.hidden)
            return; // a system program that starts another: still hidden
        bool first = !p.started && !p.child;
        p.started = true;
        s.kind = first ? Step::Kind::start : Step::Kind::exec;
        s.text = path;
        if (first) {
            // The command line, as the program's arguments give it.
            std::string argv = arg(1);
            if (argv.size() > 2 && argv.front() == '[') {
                s.text.clear();
                for (const auto& word :
                     split_args(std::string_view(argv).substr(1, argv.size() - 2)))
                    s.text += (s.text.empty() ? "" : " ") + unquote(word);
                // An absolute path says where, not what: the name is enough.
                if (s.text.front() == '/')
                    s.text.erase(0, s.text.find_last_of('/', s.text.find(' ')) + 1);
            }
        }
        p.program = base_name(path);
        size_t at = add_step(std::move(s));
        p.programs.emplace_back(at, p.program);
        p.hidden = !first && has_prefix(kSystemDirs, path);
        p.fold.reset();
        return;
    }
    if (p.hidden) {
        if (name != "exit_group" && name != "exit")
            ++p.hidden_calls;
        return;
    }

    auto fd = parse_descriptor(arg(0));
    if (housekeeping(name)) {
        // An fstat tells whether a descriptor is a FIFO.
        if (fd && arg(2).find("S_IFIFO") != std::string::npos && fd->target.front() == '/')
            fifo_channel(fd->target);
        if (fd && arg(1).find("S_IFIFO") != std::string::npos && fd->target.front() == '/')
            fifo_channel(fd->target);
        return;
    }
    if (fd && has_prefix(kHiddenPaths, fd->target))
        return;
    if (fd)
        s.fd = fd->number;
    if (fd)
        s.channel = channel_for(fd->target);

    if (name == "openat" || name == "open") {
        std::string path = unquote(arg(name == "openat" ? 1 : 0));
        auto result = parse_descriptor(e.result);
        std::string full = result && !result->target.empty() ? result->target : path;
        if (has_prefix(kHiddenPaths, path) || has_prefix(kHiddenPaths, full))
            return;
        if (!e.finished) {
            // Still waiting in the open when the trace ended.
            s.kind = Step::Kind::open;
            s.fd = -1;
            s.text = open_mode(arg(name == "openat" ? 2 : 1));
            s.channel = channel_for(name == "openat" ? resolve(arg(0), path) : path);
            s.seconds = -1;
            add_step(std::move(s));
            return;
        }
        if (!e.error.empty()) {
            s.kind = Step::Kind::open_failed;
            s.text = path;
            add_step(std::move(s));
            return;
        }
        s.kind = Step::Kind::open;
        s.fd = result ? result->number : int(e.value);
        s.text = open_mode(arg(name == "openat" ? 2 : 1));
        s.channel = channel_for(full);
        s.seconds = e.duration;
        if (s.channel)
            p.ends[s.fd] = s.text == "read" ? "read end" : s.text == "write" ? "write end" : "";
        add_step(std::move(s));
        return;
    }
    if ((name == "mknodat" || name == "mknod") && e.args.size() >= 2 &&
        (name == "mknod" ? arg(1) : arg(2)).find("S_IFIFO") == 0) {
        std::string path = unquote(arg(name == "mknodat" ? 1 : 0));
        if (name == "mknodat")
            path = resolve(arg(0), path);
        s.kind = Step::Kind::mkfifo;
        s.channel = fifo_channel(path);
        channels_[*s.channel].created_here = true;
        add_step(std::move(s));
        return;
    }
    if (name == "pipe" || name == "pipe2") {
        const std::string& pair = arg(0);
        auto ends =
            split_args(std::string_view(pair).substr(1, pair.size() >= 2 ? pair.size() - 2 : 0));
        auto r = ends.size() == 2 ? parse_descriptor(ends[0]) : std::nullopt;
        auto w = ends.size() == 2 ? parse_descriptor(ends[1]) : std::nullopt;
        if (!r || !w || !e.error.empty()) {
            s.kind = Step::Kind::call;
            s.text = name + "(" + pair + ") = " + e.result;
            add_step(std::move(s));
            return;
        }
        auto c = channel_for(r->target);
        if (c && !channels_[*c].created_here) {
            channels_[*c].created_here = true;
            channels_[*c].name = "pipe " + letter_name(pipes_named_++);
        }
        if (c) {
            channels_[*c].read_fd = r->number;
            channels_[*c].write_fd = w->number;
        }
        s.kind = Step::Kind::pipe;
        s.fd = r->number;
        s.fd2 = w->number;
        s.channel = c;
        p.ends[r->number] = "read end";
        p.ends[w->number] = "write end";
        add_step(std::move(s));
        return;
    }
    if (name == "clone" || name == "clone3" || name == "fork" || name == "vfork") {
        if (e.value <= 0) {
            s.kind = Step::Kind::call;
            s.text = name + " = " + e.result;
            add_step(std::move(s));
            return;
        }
        int pid = int(e.value);
        s.kind = Step::Kind::fork;
        s.other = pid;
        size_t fork_step = add_step(std::move(s));
        // The child may have been seen already: strace can show its first
        // call before the parent's clone returns.
        bool seen = process_index_.count(pid) != 0;
        Process& child = process_for(pid, t);
        Process& parent = processes_[process_index_.at(e.pid)];
        child.parent = parent.pid;
        child.child = true;
        if (!seen) // a child seen early has closed some of them already
            child.ends = parent.ends;
        size_t born = 0;
        auto first = std::find_if(steps_.begin(), steps_.end(), [&](const Step& st) {
            return st.pid == pid && st.kind == Step::Kind::born;
        });
        if (seen && first != steps_.end()) {
            born = size_t(first - steps_.begin());
            first->other = parent.pid;
        } else {
            if (!seen || child.program.rfind("pid ", 0) == 0)
                child.program = parent.program;
            Step b{.kind = Step::Kind::born, .pid = pid, .time = t, .other = parent.pid};
            born = add_step(std::move(b));
        }
        child.programs = {{born, child.program}};
        arrows_.push_back({Arrow::Kind::fork, fork_step, born, 0, std::nullopt});
        return;
    }
    if (name == "close") {
        s.kind = Step::Kind::close;
        if (fd) {
            auto it = p.ends.find(fd->number);
            if (it != p.ends.end()) {
                s.text = it->second;
                p.ends.erase(it);
            } else if (s.channel) {
                // A child whose first steps came before its parent's fork
                // returned: the pipe's own numbers tell the end.
                const Channel& c = channels_[*s.channel];
                s.text = fd->number == c.read_fd    ? "read end"
                         : fd->number == c.write_fd ? "write end"
                                                    : "";
            }
        }
        add_step(std::move(s));
        return;
    }
    if (name == "dup2" || name == "dup3" || name == "dup") {
        auto result = parse_descriptor(e.result);
        if (result && fd) {
            s.kind = Step::Kind::dup;
            s.fd = result->number;
            s.fd2 = fd->number;
            auto it = p.ends.find(fd->number);
            if (it != p.ends.end())
                p.ends[result->number] = it->second;
            add_step(std::move(s));
            return;
        }
    }
    if ((name == "read" || name == "pread64" || name == "write" || name == "pwrite64") && fd) {
        bool is_read = name[0] != 'w' && name[1] != 'w';
        if (!e.finished) {
            s.kind = is_read ? Step::Kind::read : Step::Kind::write;
            s.count = 0; // still waiting in it
            add_step(std::move(s));
            return;
        }
        if (!e.error.empty()) {
            s.kind = Step::Kind::call;
            s.text = name + " on fd " + std::to_string(fd->number) + " = " + e.result;
            add_step(std::move(s));
            return;
        }
        if (is_read && e.value == 0) {
            s.kind = Step::Kind::end_of_data;
            fold_or_add(std::move(s));
            return;
        }
        s.kind = is_read ? Step::Kind::read : Step::Kind::write;
        s.bytes = e.value;
        s.total = e.value;
        s.data = unquote(arg(1)).substr(0, std::min<size_t>(kDataKept, size_t(e.value)));
        size_t at = fold_or_add(std::move(s));
        if (steps_[at].channel)
            data_moved(at, *steps_[at].channel, e.value, is_read);
        return;
    }
    if (name == "ioctl" && arg(1) == "FIONREAD") {
        // The writer asks how much of its phrase is still unread.
        const std::string& answer = arg(2);
        int unread = answer.size() > 2 ? std::atoi(answer.c_str() + 1) : 0;
        if (p.fold && steps_[*p.fold].kind == Step::Kind::unread && steps_[*p.fold].fd == s.fd) {
            ++steps_[*p.fold].count;
            steps_[*p.fold].other = unread;
            return;
        }
        s.kind = Step::Kind::unread;
        s.other = unread;
        add_step(std::move(s));
        return;
    }
    if (name == "ioctl" && (arg(1) == "TCGETS" || arg(1) == "TIOCGWINSZ" || arg(1) == "TCSETS"))
        return; // stdio asking whether it writes to a terminal
    if (name == "nanosleep" || name == "clock_nanosleep") {
        double seconds = timespec_seconds(arg(name == "nanosleep" ? 0 : 2));
        if (p.fold && steps_[*p.fold].kind == Step::Kind::unread) {
            steps_[*p.fold].seconds += seconds; // a pause between two questions
            return;
        }
        s.kind = Step::Kind::sleep;
        s.seconds = seconds;
        if (!e.finished)
            s.count = 0;
        add_step(std::move(s));
        return;
    }
    if (name == "restart_syscall") {
        s.kind = Step::Kind::sleep;
        s.seconds = e.duration;
        s.text = "goes on";
        add_step(std::move(s));
        return;
    }
    if (name == "getppid") {
        s.kind = Step::Kind::getppid;
        s.other = int(e.value);
        if (p.last_ppid != -1 && p.last_ppid != e.value)
            s.fd2 = int(p.last_ppid);
        p.last_ppid = e.value;
        add_step(std::move(s));
        return;
    }
    if (name == "getpid") {
        s.kind = Step::Kind::getpid;
        s.other = int(e.value);
        add_step(std::move(s));
        return;
    }
    if (name == "wait4" || name == "waitpid" || name == "waitid") {
        if (!e.finished) {
            s.kind = Step::Kind::wait;
            s.count = 0; // still waiting
            add_step(std::move(s));
            return;
        }
        if (e.value > 0) {
            int pid = int(e.value);
            s.kind = Step::Kind::wait;
            s.other = pid;
            s.text = wait_status(arg(1));
            size_t at = add_step(std::move(s));
            auto it = process_index_.find(pid);
            if (it != process_index_.end()) {
                Process& child = processes_[it->second];
                child.collected = t;
                child.collect_step = at;
                if (child.ended)
                    steps_[at].seconds = t - *child.ended;
                if (steps_[at].text.empty() && child.end_step) {
                    const Step& end = steps_[*child.end_step];
                    steps_[at].text = end.kind == Step::Kind::exit
                                          ? "exited with status " + std::to_string(end.other)
                                          : end.text;
                }
                if (child.end_step)
                    arrows_.push_back({Arrow::Kind::collect, *child.end_step, at, 0, std::nullopt});
            }
            return;
        }
        if (e.error == "ECHILD") {
            s.kind = Step::Kind::wait_none;
            add_step(std::move(s));
            return;
        }
    }
    if (name == "kill" || name == "tgkill" || name == "tkill") {
        s.kind = Step::Kind::kill;
        s.other = std::atoi(arg(0).c_str());
        s.text = e.args.empty() ? "" : e.args.back();
        add_step(std::move(s));
        return;
    }
    if (name == "exit_group" || name == "exit") {
        s.kind = Step::Kind::exit;
        s.other = std::atoi(arg(0).c_str());
        p.end_step = add_step(std::move(s));
        return;
    }

    // Any other call, as strace wrote it.
    s.kind = Step::Kind::call;
    s.channel.reset();
    std::string args;
    for (const auto& a : e.args)
        args += (args.empty() ? "" : ", ") + a;
    s.text = name + "(" + args + ")" + (e.finished ? " = " + e.result : " ...");
    add_step(std::move(s));
}

void Run::finish()
{
    double end = last_time_ - start_time_.value_or(last_time_);
    for (size_t i = 0; i < processes_.size(); ++i) {
        Process& p = processes_[i];
        if (!p.ended) {
            if (p.hidden) {
                Step s{.kind = Step::Kind::hidden_calls,
                       .pid = p.pid,
                       .time = end,
                       .count = p.hidden_calls};
                s.text = p.program;
                add_step(std::move(s));
            }
            add_step({.kind = Step::Kind::still_running, .pid = p.pid, .time = end});
        } else if (p.child && !p.collected) {
            Step s{
                .kind = Step::Kind::zombie, .pid = p.pid, .time = end, .seconds = end - *p.ended};
            add_step(std::move(s));
        }
    }
}

} // namespace timeline
