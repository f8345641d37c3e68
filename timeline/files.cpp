#include "files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <utility>

#include "base/language.hpp"
#include "base/paths.hpp"

namespace timeline::files {
namespace {

namespace fs = std::filesystem;

// strace -ff names each process's file after its pid: "run.trace.2994".
int pid_in_name(const std::string& file)
{
    std::string name(base_name(file));
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size() ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return 0;
    return std::atoi(name.c_str() + dot + 1);
}

} // namespace

void fail(const std::string& message, int status)
{
    (void)std::fprintf(stderr, "syscall_timeline: %s\n", message.c_str());
    std::exit(status);
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
        fail(fill(tr("{1}: is a directory"), {path}));
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
        fail(fill(tr("write error: {1}"), {std::strerror(errno != 0 ? errno : EIO)}));
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
    std::error_code error;
    fs::directory_iterator entries(dir, error);
    if (error)
        fail(dir.string() + ": " + error.message());
    for (const auto& entry : entries)
        if (entry.path().extension() == ".trace")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_whole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path.string() + ": " + std::strerror(errno != 0 ? errno : EIO));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool is_fifo(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

void open_traces(MergedTraces& traces, const std::vector<std::string>& files)
{
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const auto& file : files) {
        struct stat st {};
        if (stat(file.c_str(), &st) == -1)
            fail(file + ": " + std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            fail(fill(tr("{1}: is a directory"), {file}));
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
}

} // namespace timeline::files
