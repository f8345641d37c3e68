#include "reader/source_lines.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#ifdef TIMELINE_WITH_LIBDW
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>
#endif

namespace timeline {

bool is_source_file(const std::string& path)
{
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find("/Unity/unity_") != std::string::npos)
        return false;
    std::string ext = path.substr(dot + 1);
    return ext == "c" || ext == "cc" || ext == "cpp" || ext == "cxx" || ext == "C";
}

bool is_system_file(const std::string& path)
{
    return path.starts_with("/usr/");
}

#ifdef TIMELINE_WITH_LIBDW

// One program's debug information, opened once; no Dwarf when it has none.
struct SourceLines::Object {
    int fd = -1;
    Dwarf* dwarf = nullptr;
    std::vector<GElf_Phdr> loads; // where the file's bytes are in memory

    explicit Object(const std::string& path)
    {
        struct stat st {};
        // Not blocking: a trace may name a FIFO, whose open would wait.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd == -1 || fstat(fd, &st) == -1 || !S_ISREG(st.st_mode))
            return;
        dwarf = dwarf_begin(fd, DWARF_C_READ);
        Elf* elf = dwarf ? dwarf_getelf(dwarf) : nullptr;
        size_t count = 0;
        if (elf == nullptr || elf_getphdrnum(elf, &count) != 0)
            return;
        for (size_t i = 0; i < count; ++i) {
            GElf_Phdr header{};
            if (gelf_getphdr(elf, int(i), &header) != nullptr && header.p_type == PT_LOAD)
                loads.push_back(header);
        }
    }
    ~Object()
    {
        if (dwarf != nullptr)
            dwarf_end(dwarf);
        if (fd != -1)
            ::close(fd);
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // strace gives a return address as an offset in the file; the debug
    // information knows addresses as the program was linked.
    std::optional<Dwarf_Addr> address(unsigned long long offset) const
    {
        for (const auto& load : loads)
            if (offset >= load.p_offset && offset - load.p_offset < load.p_filesz)
                return offset - load.p_offset + load.p_vaddr;
        return std::nullopt;
    }
};

namespace {

// Where the code at `pc` is, then the line of each inlined function's call
// around it, innermost first.
std::vector<SourceLine> lines_at(Dwarf_Die& unit, Dwarf_Addr pc)
{
    std::vector<SourceLine> lines;
    if (Dwarf_Line* line = dwarf_getsrc_die(&unit, pc)) {
        int number = 0;
        const char* file = dwarf_linesrc(line, nullptr, nullptr);
        if (file != nullptr && dwarf_lineno(line, &number) == 0)
            lines.push_back({file, number});
    }
    Dwarf_Files* files = nullptr;
    size_t file_count = 0;
    Dwarf_Die* scopes = nullptr;
    int count = dwarf_getscopes(&unit, pc, &scopes);
    if (dwarf_getsrcfiles(&unit, &files, &file_count) == 0)
        for (int i = 0; i < count; ++i) {
            if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine)
                continue;
            Dwarf_Attribute attribute;
            Dwarf_Word file = 0, number = 0;
            if (dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_file, &attribute), &file) != 0 ||
                dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attribute), &number) !=
                    0 ||
                file >= file_count)
                continue;
            if (const char* name = dwarf_filesrc(files, file, nullptr, nullptr))
                lines.push_back({name, int(number)});
        }
    std::free(scopes); // NOLINT(cppcoreguidelines-no-malloc): libdw allocates it
    return lines;
}

} // namespace

bool SourceLines::available()
{
    return true;
}

bool SourceLines::can_tell(const std::string& program)
{
    return !program.empty() && Object(program).dwarf != nullptr;
}

std::optional<SourceLine> SourceLines::at(const std::string& object, unsigned long long offset)
{
    auto [known, fresh] = known_.try_emplace({object, offset});
    if (!fresh)
        return known->second;
    auto& loaded = objects_[object];
    if (!loaded)
        loaded = std::make_unique<Object>(object);
    auto address = loaded->address(offset);
    Dwarf_Die unit;
    if (loaded->dwarf == nullptr || !address || *address == 0 ||
        dwarf_addrdie(loaded->dwarf, *address - 1, &unit) == nullptr)
        return std::nullopt;
    // A return address: the call is the instruction before it.
    auto lines = lines_at(unit, *address - 1);
    for (const auto& line : lines)
        if (!is_system_file(line.file))
            return known->second = line;
    if (!lines.empty())
        known->second = lines.front();
    return known->second;
}

#else

struct SourceLines::Object {};

bool SourceLines::available()
{
    return false;
}

bool SourceLines::can_tell(const std::string&)
{
    return false;
}

std::optional<SourceLine> SourceLines::at(const std::string&, unsigned long long)
{
    return std::nullopt;
}

#endif

SourceLines::SourceLines() = default;
SourceLines::~SourceLines() = default;

std::optional<SourceLine> SourceLines::of(const std::vector<Frame>& frames)
{
    std::optional<SourceLine> first;
    for (const auto& frame : frames) {
        auto line = at(frame.object, frame.offset);
        if (line && !is_system_file(line->file))
            return line;
        if (!first)
            first = line;
    }
    return first;
}

} // namespace timeline
