// Loaded into strace, never into the traced command, when the timeline
// records each call's stack (-k) to tell the line that made it.
//
// Debian's strace unwinds stacks with libunwind, which reads the traced
// process's memory one word at a time (a ptrace call each) and looks up
// a function name for every frame: about a millisecond a call. A
// learner's program that becomes ls made a run twenty times slower, for
// stacks whose lines nobody can read. This library stands in front of
// four of libunwind's functions, and strace prints what the timeline
// reads, each frame's object and offset, at a small part of the cost:
//   - a process whose program has no line information (ls, sh, sort)
//     gets only its innermost frame: no line could come from the others;
//   - memory is read a page at a time (process_vm_readv) and kept while
//     one stack is unwound, the process stopped all the while;
//   - no function names: the frames are looked up in the program's own
//     debug information afterwards.
// Anything it cannot decide (a process it does not know, a page that
// cannot be read whole) goes to libunwind as before.
#include <dlfcn.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <libunwind-ptrace.h>
#include <libunwind.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// libunwind's functions of the same names, the next definitions after
// this library's. The public names are macros that give each
// architecture's symbol (unw_step is _Ux86_64_step on x86-64).
#define QUICK_STACKS_NAME(f) QUICK_STACKS_TEXT(f)
#define QUICK_STACKS_TEXT(f) #f

template <typename Function> Function next_definition(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The process that each of strace's unwinding contexts belongs to: one
// per traced process, made by _UPT_create.
struct Context {
    void* upt = nullptr;
    pid_t pid = 0;
};
std::array<Context, 4096> contexts;
size_t contexts_used = 0;

pid_t pid_of(void* upt)
{
    for (size_t i = 0; i < contexts_used; ++i)
        if (contexts[i].upt == upt)
            return contexts[i].pid;
    return 0;
}

// The stack being unwound: one at a time, from unw_init_remote on.
struct Walk {
    unw_cursor_t* cursor = nullptr;
    void* upt = nullptr;
    pid_t pid = 0;
    bool whole = true;
};
Walk walk;

// Pages of the stopped process read for this walk.
struct Page {
    bool kept = false;
    unw_word_t start = 0;
    alignas(unw_word_t) std::array<unsigned char, 4096> bytes{};
};
std::array<Page, 16> pages;
size_t next_page = 0;

void forget_pages()
{
    for (auto& page : pages)
        page.kept = false;
}

// Whether a program carries the line table that tells a call's line.
bool carries_lines(int fd)
{
    elf_version(EV_CURRENT);
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    size_t names = 0;
    bool found = false;
    if (elf != nullptr && elf_getshdrstrndx(elf, &names) == 0)
        for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr && !found;
             section = elf_nextscn(elf, section)) {
            GElf_Shdr header{};
            const char* name = gelf_getshdr(section, &header) != nullptr
                                   ? elf_strptr(elf, names, header.sh_name)
                                   : nullptr;
            found = name != nullptr && std::strcmp(name, ".debug_line") == 0;
        }
    if (elf != nullptr)
        elf_end(elf);
    return found;
}

// Whether the process's program has lines to tell, remembered by file
// for the few programs of a run. A program that cannot be looked at is
// unwound whole, as without this library.
bool has_lines(pid_t pid)
{
    struct Known {
        dev_t device = 0;
        ino_t inode = 0;
        timespec changed{};
        bool lines = true;
    };
    static std::array<Known, 32> known;
    static size_t known_used = 0;
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/%d/exe", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd == -1 || fstat(fd, &st) == -1) {
        if (fd != -1)
            close(fd);
        return true;
    }
    for (size_t i = 0; i < known_used; ++i)
        if (known[i].device == st.st_dev && known[i].inode == st.st_ino &&
            known[i].changed.tv_sec == st.st_mtim.tv_sec &&
            known[i].changed.tv_nsec == st.st_mtim.tv_nsec) {
            close(fd);
            return known[i].lines;
        }
    bool lines = carries_lines(fd);
    close(fd);
    known[known_used % known.size()] = {st.st_dev, st.st_ino, st.st_mtim, lines};
    known_used = known_used < known.size() ? known_used + 1 : known.size();
    return lines;
}

// The word at `address` from this walk's pages; false when the page
// cannot be read whole.
bool read_word(unw_word_t address, unw_word_t* value)
{
    constexpr unw_word_t kPage = 4096;
    unw_word_t start = address & ~(kPage - 1);
    if (address % sizeof(unw_word_t) != 0)
        return false;
    Page* found = nullptr;
    for (auto& page : pages)
        if (page.kept && page.start == start)
            found = &page;
    if (found == nullptr) {
        found = &pages[next_page++ % pages.size()];
        iovec local{found->bytes.data(), kPage};
        // An address in the traced process, never used as a pointer here.
        iovec remote{reinterpret_cast<void*>(start), kPage}; // NOLINT(performance-no-int-to-ptr)
        found->kept = process_vm_readv(walk.pid, &local, 1, &remote, 1, 0) == ssize_t(kPage);
        found->start = start;
        if (!found->kept)
            return false;
    }
    std::memcpy(value, found->bytes.data() + (address - start), sizeof *value);
    return true;
}

} // namespace

extern "C" {

void* _UPT_create(pid_t pid)
{
    static auto create = next_definition<void* (*)(pid_t)>("_UPT_create");
    void* upt = create(pid);
    size_t i = 0;
    while (i < contexts_used && contexts[i].upt != nullptr)
        ++i;
    if (i < contexts.size()) {
        contexts[i] = {upt, pid};
        contexts_used = i < contexts_used ? contexts_used : i + 1;
    }
    return upt;
}

void _UPT_destroy(void* upt)
{
    static auto destroy = next_definition<void (*)(void*)>("_UPT_destroy");
    for (size_t i = 0; i < contexts_used; ++i)
        if (contexts[i].upt == upt)
            contexts[i] = {};
    if (walk.upt == upt)
        walk = {};
    forget_pages();
    destroy(upt);
}

int unw_init_remote(unw_cursor_t* cursor, unw_addr_space_t space, void* upt)
{
    static auto init = next_definition<int (*)(unw_cursor_t*, unw_addr_space_t, void*)>(
        QUICK_STACKS_NAME(unw_init_remote));
    forget_pages();
    pid_t pid = pid_of(upt);
    walk = {cursor, upt, pid, pid == 0 || has_lines(pid)};
    return init(cursor, space, upt);
}

int unw_step(unw_cursor_t* cursor)
{
    static auto step = next_definition<int (*)(unw_cursor_t*)>(QUICK_STACKS_NAME(unw_step));
    if (cursor == walk.cursor && !walk.whole)
        return 0;
    return step(cursor);
}

int unw_get_proc_name(unw_cursor_t*, char* name, size_t size, unw_word_t* offset)
{
    if (size > 0)
        name[0] = '\0';
    *offset = 0;
    return -UNW_ENOINFO;
}

int _UPT_access_mem(unw_addr_space_t space, unw_word_t address, unw_word_t* value, int write,
                    void* upt)
{
    static auto access =
        next_definition<int (*)(unw_addr_space_t, unw_word_t, unw_word_t*, int, void*)>(
            "_UPT_access_mem");
    if (write == 0 && upt == walk.upt && walk.pid != 0 && read_word(address, value))
        return 0;
    if (write != 0)
        forget_pages();
    return access(space, address, value, write, upt);
}

} // extern "C"
