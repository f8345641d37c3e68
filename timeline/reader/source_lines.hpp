// Which line of a program's source made a call: the frames of the call's
// stack (strace -k), looked up in each program's debug information with
// elfutils' libdw. A build without libdw tells no lines.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/event.hpp"

namespace timeline {

class SourceLines {
public:
    SourceLines();
    ~SourceLines();
    SourceLines(const SourceLines&) = delete;
    SourceLines& operator=(const SourceLines&) = delete;

    // The line a call was made from: the innermost line of the program's
    // own code, inlined functions included; a line of a system header (an
    // inline wrapper of the C library's) gives way to the line that used it.
    // Nothing for code without debug information, such as ls or ps.
    std::optional<SourceLine> of(const std::vector<Frame>& frames);

    // Whether this build can tell lines at all.
    static bool available();
    // Whether it can tell the lines of this program: it has debug
    // information.
    static bool can_tell(const std::string& program);

private:
    struct Object;
    std::optional<SourceLine> at(const std::string& object, unsigned long long offset);
    std::map<std::string, std::unique_ptr<Object>> objects_;
    std::map<std::pair<std::string, unsigned long long>, std::optional<SourceLine>> known_;
};

// Whether a file is a source file rather than a header: "x.cpp", "x.c".
bool is_source_file(const std::string& path);
// Whether a file is the system's (/usr/include/...), not the program's.
bool is_system_file(const std::string& path);

} // namespace timeline
