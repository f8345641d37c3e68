#include "procfs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace family {
namespace {

// A small file of /proc, whole; nothing when it cannot be read.
std::optional<std::string> slurp(const std::string& path, int* error = nullptr)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, size_t(n));
        if (size_t(n) < sizeof buf / 2) // /proc gives a small file whole
            break;
    }
    close(fd);
    return text;
}

std::string link_of(const std::string& path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// "1234 (comm with) spaces) S 1 ...": the name ends at the last ')'.
bool parse_stat(const std::string& text, ProcInfo& p)
{
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= text.size())
        return false;
    p.comm = text.substr(open + 1, close - open - 1);
    const char* rest = text.c_str() + close + 2;
    p.state = rest[0];
    // Fields from the state on: state ppid pgrp session tty tpgid flags
    // minflt cminflt majflt cmajflt utime stime cutime cstime priority
    // nice threads itrealvalue starttime.
    char* end = nullptr;
    const char* at = rest + 1;
    for (int field = 1; field <= 19; ++field) {
        unsigned long long v = std::strtoull(at, &end, 10);
        if (end == at)
            return false;
        if (field == 1)
            p.ppid = int(v);
        if (field == 17)
            p.threads = int(v);
        if (field == 19)
            p.start = v;
        at = end;
    }
    return true;
}

void parse_syscall(const std::string& text, ProcInfo& p)
{
    // "running", or "-1 sp pc" when it may not be told, or
    // "nr arg1 ... arg6 sp pc", the arguments in hex.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return;
    char* end = nullptr;
    long nr = std::strtol(text.c_str(), &end, 10);
    for (auto& arg : p.args)
        arg = std::strtoul(end, &end, 16);
    p.syscall = nr;
}

// Whether a path is a FIFO, asked once for each path: the descriptors of a
// large family point at the same few files.
bool is_fifo(const std::string& path)
{
    static std::map<std::string, bool> known;
    if (auto it = known.find(path); it != known.end())
        return it->second;
    if (known.size() > 4096)
        known.clear();
    struct stat st {};
    bool fifo = stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    known.emplace(path, fifo);
    return fifo;
}

void read_fds(int pid, ProcInfo& p)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) {
        p.fds_readable = false;
        return;
    }
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        FdEntry entry{.fd = std::atoi(e->d_name)};
        entry.target = link_of(dir + "/" + e->d_name);
        // Only a pipe's or a FIFO's flags are told (which end it is): the
        // rest is left unread, so that a large family reads fast.
        const std::string& t = entry.target;
        bool path =
            !t.empty() && t[0] == '/' && !t.starts_with("/dev/") && !t.starts_with("/proc/");
        entry.fifo = path && is_fifo(t);
        if (entry.fifo || t.starts_with("pipe:["))
            if (auto info = slurp("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name))
                if (const char* flags = std::strstr(info->c_str(), "flags:"))
                    entry.flags = unsigned(std::strtoul(flags + 6, nullptr, 8));
        p.fds.push_back(std::move(entry));
    }
    closedir(d);
    std::sort(p.fds.begin(), p.fds.end(),
              [](const FdEntry& a, const FdEntry& b) { return a.fd < b.fd; });
}

} // namespace

// From /proc/PID/status: its state, its parent, how often it was switched
// out.
struct Status {
    char state = '?';
    int ppid = 0;
    unsigned long long switches = 0;
};

std::optional<Status> read_status(const std::string& base)
{
    auto text = slurp(base + "/status");
    if (!text)
        return std::nullopt;
    Status s;
    auto field = [&](const char* name) -> const char* {
        const char* at = std::strstr(text->c_str(), name);
        return at ? at + std::strlen(name) : nullptr;
    };
    if (const char* state = field("\nState:\t"))
        s.state = *state;
    if (const char* ppid = field("\nPPid:\t"))
        s.ppid = std::atoi(ppid);
    for (const char* name : {"\nvoluntary_ctxt_switches:\t", "\nnonvoluntary_ctxt_switches:\t"})
        if (const char* n = field(name))
            s.switches += std::strtoull(n, nullptr, 10);
    return s;
}

std::optional<ProcInfo> read_process(int pid, int* error, const ProcInfo* known)
{
    std::string base = "/proc/" + std::to_string(pid);
    auto status = read_status(base);
    if (known && status && status->state == known->state && status->state != 'R' &&
        status->switches == known->switches) {
        ProcInfo same = *known;
        same.ppid = status->ppid; // adopted while it slept
        return same;
    }
    auto stat = slurp(base + "/stat", error);
    ProcInfo p{.pid = pid};
    if (!stat || !parse_stat(*stat, p))
        return std::nullopt;
    p.switches = status ? status->switches : 0;
    p.exe = link_of(base + "/exe");
    if (p.state != 'R' && p.state != 'Z')
        if (auto call = slurp(base + "/syscall"))
            parse_syscall(*call, p);
    // The kernel function it sleeps in, where the call does not tell.
    if (p.syscall < 0 && p.state != 'R' && p.state != 'Z')
        if (auto wchan = slurp(base + "/wchan"); wchan && *wchan != "0")
            p.wchan = *wchan;
    if (p.state != 'Z')
        read_fds(pid, p);
    p.children = children_of(pid, p.threads);
    return p;
}

std::vector<int> children_of(int pid, int threads)
{
    std::vector<int> found;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    // One thread: its own list is all of them.
    if (threads == 1) {
        if (auto text = slurp(tasks + "/" + std::to_string(pid) + "/children")) {
            const char* at = text->c_str();
            char* end = nullptr;
            for (long child; (child = std::strtol(at, &end, 10)), end != at; at = end)
                found.push_back(int(child));
        }
        return found;
    }
    DIR* d = opendir(tasks.c_str());
    if (!d)
        return found;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        auto text = slurp(tasks + "/" + e->d_name + "/children");
        if (!text)
            continue;
        const char* at = text->c_str();
        char* end = nullptr;
        for (long child; (child = std::strtol(at, &end, 10)), end != at; at = end)
            found.push_back(int(child));
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

bool read_memory(int pid, unsigned long address, void* into, size_t size)
{
    iovec local{into, size};
    iovec remote{reinterpret_cast<void*>(address), size}; // NOLINT(performance-no-int-to-ptr)
    return address != 0 && process_vm_readv(pid, &local, 1, &remote, 1, 0) == ssize_t(size);
}

std::optional<std::string> read_string(int pid, unsigned long address, size_t most)
{
    std::string text(most, '\0');
    // Page by page is not needed for a path: read what can be read.
    for (size_t size = most; size >= 16; size /= 2)
        if (read_memory(pid, address, text.data(), size)) {
            text.resize(std::strlen(text.c_str()));
            return text;
        }
    return std::nullopt;
}

} // namespace family
