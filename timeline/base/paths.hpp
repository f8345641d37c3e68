// The last part of a path, as every layer names files and programs:
// "/usr/bin/ps" is "ps", "lesson.cpp" is "lesson.cpp".
#pragma once

#include <string_view>

namespace timeline {

constexpr std::string_view base_name(std::string_view path)
{
    return path.substr(path.rfind('/') + 1);
}

} // namespace timeline
