// --perfetto FILE: the run in the Trace Event Format, written as the
// steps come; a run cut short leaves no half-written file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "commands.hpp"
#include "files.hpp"
#include "views/perfetto.hpp"

namespace timeline {
namespace {

namespace fs = std::filesystem;

// The Perfetto trace, written as the steps come.
struct PerfettoFile : PerfettoTrace {
    std::string path;
    std::FILE* file;
    PerfettoFile(std::string p, std::FILE* f, StepWords* words)
        : PerfettoTrace(f, words), path(std::move(p)), file(f)
    {
    }
    PerfettoFile(const PerfettoFile&) = delete;
    PerfettoFile& operator=(const PerfettoFile&) = delete;
    ~PerfettoFile() override { (void)std::fclose(file); }
    void finish(const Run& run) override
    {
        PerfettoTrace::finish(run);
        if (!ok()) { // cut short: nothing half written is left
            int error = errno != 0 ? errno : EIO;
            if (fs::is_regular_file(path))
                (void)std::remove(path.c_str());
            files::fail(path + ": " + std::strerror(error));
        }
    }
};

} // namespace

std::unique_ptr<StepSink> perfetto_file(const std::string& path, StepWords* words)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        files::fail(path + ": " + std::strerror(errno));
    return std::make_unique<PerfettoFile>(path, file, words);
}

} // namespace timeline
